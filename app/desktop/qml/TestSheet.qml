import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// The recognition test, in a sheet.
ColumnLayout {
    spacing: 20

    Title { text: qsTr("Test Recognition"); font.pixelSize: 20 }
    TestPanel { objectName: "testPanel" }
    Button { objectName: "closeSheet"; text: qsTr("Close"); Layout.alignment: Qt.AlignHCenter; onClicked: Views.closeSheet() }
}
