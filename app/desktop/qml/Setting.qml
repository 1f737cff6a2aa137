import QtQuick
import QtQuick.Layouts
import Tarvo

// A control with its explanation under it.
ColumnLayout {
    id: setting
    property string caption
    spacing: 4
    Layout.fillWidth: true
    Text {
        id: captionText
        text: setting.caption
        font.pixelSize: 11
        color: Colours.secondary
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
    // The caption goes last, after whatever control the setting is given.
    Component.onCompleted: {
        captionText.parent = null
        captionText.parent = setting
    }
}
