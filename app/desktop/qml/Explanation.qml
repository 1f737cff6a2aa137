import QtQuick
import QtQuick.Layouts

Text {
    color: colours.secondary
    horizontalAlignment: Text.AlignHCenter
    wrapMode: Text.WordWrap
    textFormat: Text.MarkdownText
    Layout.alignment: Qt.AlignHCenter
    Layout.maximumWidth: 420
    Layout.fillWidth: true
}
