import QtQuick
import Tarvo

// A freedesktop symbol in one colour.
Image {
    property string name
    property color color: Colours.secondary
    property int size: 17
    sourceSize.width: size
    sourceSize.height: size
    width: size
    height: size
    source: name ? "image://symbol/" + name + "/" + color.toString().substring(1) : ""
}
