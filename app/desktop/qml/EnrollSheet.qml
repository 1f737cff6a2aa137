import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// Enrolling one face, in a sheet: the panel and the way out.
ColumnLayout {
    id: sheet
    property string name
    // A face of that name is enrolled already: this enrollment replaces it.
    property bool replacing: false
    signal closeRequested()
    spacing: 20

    Title {
        objectName: "sheetTitle"
        text: sheet.replacing ? qsTr("Re-enroll %1").arg(sheet.name) : qsTr("Add %1").arg(sheet.name)
        font.pixelSize: 20
    }
    EnrollPanel { id: enrollPanel; objectName: "enrollPanel"; name: sheet.name; onFinished: sheet.closeRequested() }
    // While capturing, the panel's own Cancel is the way out.
    Button {
        objectName: "closeSheet"
        visible: !enrollPanel.capturing
        text: qsTr("Close")
        Layout.alignment: Qt.AlignHCenter
        onClicked: sheet.closeRequested()
    }
}
