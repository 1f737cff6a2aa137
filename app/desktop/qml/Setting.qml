import QtQuick
import QtQuick.Layouts

// A control with its explanation under it.
ColumnLayout {
    property string caption
    default property alias control: holder.data
    spacing: 4
    Layout.fillWidth: true
    ColumnLayout { id: holder; Layout.fillWidth: true }
    Text {
        text: parent.caption
        font.pixelSize: 11
        color: colours.secondary
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
}
