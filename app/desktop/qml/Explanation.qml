import QtQuick
import QtQuick.Layouts
import Tarvo

Text {
    color: Colours.secondary
    horizontalAlignment: Text.AlignHCenter
    wrapMode: Text.WordWrap
    textFormat: Text.MarkdownText
    Layout.alignment: Qt.AlignHCenter
    Layout.maximumWidth: 420
    Layout.fillWidth: true
}
