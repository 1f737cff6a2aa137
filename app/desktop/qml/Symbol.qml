import QtQuick

// A freedesktop symbol in one colour.
Image {
    property string name
    property color color: colours.secondary
    property int size: 17
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    source: name ? "image://symbol/" + name + "/" + color.toString().substring(1) : ""
}
