import QtQuick
import QtQuick.Layouts
import Tarvo

// A symbol and a text beside it, in one colour.
RowLayout {
    id: label
    property string symbol
    property alias text: caption.text
    property color color: Colours.secondary
    property int size: 14
    property bool bold: false
    spacing: 6
    Symbol { name: label.symbol; color: label.color; size: label.size + 2 }
    Text {
        id: caption
        color: label.color
        font.pixelSize: label.size
        font.bold: label.bold
        wrapMode: Text.WordWrap
        Layout.maximumWidth: 400
    }
}
