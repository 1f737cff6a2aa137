import QtQuick
import Tarvo

// One step of the onboarding: long while current, coloured once reached.
Rectangle {
    property bool current
    property bool reached
    height: 8
    radius: 4
    width: current ? 22 : 8
    color: reached ? Colours.accent : Qt.rgba(0.5, 0.5, 0.5, 0.25)
    Behavior on width { SpringAnimation { spring: 3; damping: 0.4 } }
    Behavior on color { ColorAnimation { duration: 200 } }
}
