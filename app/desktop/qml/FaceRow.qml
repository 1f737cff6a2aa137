import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// One enrolled face in the list: its name, what it holds, and its actions.
ColumnLayout {
    id: row
    required property int index
    required property string faceId
    required property string name
    required property int samples
    required property int learned
    required property string lastLearned

    Layout.fillWidth: true
    Divider { visible: row.index > 0 }
    RowLayout {
        spacing: 8
        Symbol { name: "avatar-default-symbolic"; size: 20; Layout.preferredWidth: 24 }
        ColumnLayout {
            spacing: 2
            Text { text: row.name; color: Colours.text }
            Text {
                text: row.learned > 0
                      ? qsTr("%1 samples, %2 learned (last on %3)").arg(row.samples).arg(row.learned).arg(row.lastLearned)
                      : qsTr("%1 samples").arg(row.samples)
                font.pixelSize: 11; color: Colours.secondary
            }
        }
        Item { Layout.fillWidth: true }
        Button { objectName: "reenrollFace"; text: qsTr("Re-enroll…"); onClicked: Views.enrollIfCamera(row.name) }
        Button {
            objectName: "removeFace"
            display: AbstractButton.IconOnly
            Layout.preferredWidth: 36
            icon.name: "user-trash-symbolic"
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Remove %1").arg(row.name)
            onClicked: Views.askRemoval(row.faceId, row.name)
        }
    }
}
