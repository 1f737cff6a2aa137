import QtQuick
import QtQuick.Layouts

// A symbol and a text beside it, in one colour.
RowLayout {
    property string symbol
    property alias text: caption.text
    property color color: colours.secondary
    property int size: 14
    property bool bold: false
    spacing: 6
    Symbol { name: symbol; color: parent.color; size: parent.size + 2 }
    Text {
        id: caption
        color: parent.color
        font.pixelSize: parent.size
        font.bold: parent.bold
        wrapMode: Text.WordWrap
        Layout.maximumWidth: 400
    }
}
