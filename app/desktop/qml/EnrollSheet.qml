import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// Enrolling one face, in a sheet: the panel and the way out.
ColumnLayout {
    id: sheet
    readonly property string name: Views.sheetFace
    // A face of that name was enrolled already: this enrollment replaces it.
    readonly property bool replacing: App.faces.contains(name)
    spacing: 20

    Title {
        objectName: "sheetTitle"
        text: sheet.replacing ? qsTr("Re-enroll %1").arg(sheet.name) : qsTr("Add %1").arg(sheet.name)
        font.pixelSize: 20
    }
    EnrollPanel { id: enrollPanel; objectName: "enrollPanel"; name: sheet.name; onFinished: Views.closeSheet() }
    // While capturing, the panel's own Cancel is the way out.
    Button {
        objectName: "closeSheet"
        visible: !enrollPanel.capturing
        text: qsTr("Close")
        Layout.alignment: Qt.AlignHCenter
        onClicked: Views.closeSheet()
    }
}
