import QtQuick
import QtQuick.Layouts
import Tarvo

Text {
    font.pixelSize: 20
    font.weight: Font.DemiBold
    color: Colours.text
    horizontalAlignment: Text.AlignHCenter
    wrapMode: Text.WordWrap
    Layout.alignment: Qt.AlignHCenter
    Layout.fillWidth: true
    Layout.maximumWidth: 440
}
