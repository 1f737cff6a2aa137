import QtQuick
import QtQuick.Layouts
import Tarvo

// The threshold's scale: the selectable band, the closest stranger the
// model was measured on, the knob. The figures come from the model's
// measured scale; dragging anywhere on the scale moves in its steps.
ColumnLayout {
    id: control
    property real axisFrom: Views.axisFrom
    property real axisTo: Views.axisTo
    readonly property real sensitivity: Math.min(Math.max(App.sensitivity, 0), 1)
    spacing: 8
    Layout.fillWidth: true

    Item {
        id: scale
        objectName: "sensitivityScale"
        Layout.fillWidth: true
        implicitHeight: 40
        function at(t) { return width * (t - control.axisFrom) / (control.axisTo - control.axisFrom) }
        readonly property real strict: at(Views.strictest)
        readonly property real loose: at(Views.loosest)

        Text {
            text: qsTr("Secure"); font.pixelSize: 11; color: Colours.secondary
            x: scale.strict + 20 - width / 2; y: 6 - height / 2
        }
        Text {
            text: qsTr("Convenient"); font.pixelSize: 11; color: Colours.secondary
            x: scale.loose - 32 - width / 2; y: 6 - height / 2
        }
        Text {
            objectName: "strangerLabel"
            text: qsTr("closest stranger"); font.pixelSize: 11; color: Colours.orange
            x: Math.min(scale.width - 46, scale.at(Views.closestStranger)) - width / 2; y: 6 - height / 2
        }
        Rectangle {
            width: scale.width; height: 2; y: 29
            color: Qt.rgba(0.5, 0.5, 0.5, 0.3)
        }
        Rectangle {
            x: scale.strict; y: 27
            width: scale.loose - scale.strict; height: 6; radius: 3
            color: Qt.rgba(Colours.accent.r, Colours.accent.g, Colours.accent.b, 0.35)
        }
        Rectangle {
            x: scale.at(Views.closestStranger) - 4; y: 26
            width: 8; height: 8; radius: 4
            color: Colours.orange
        }
        Rectangle {
            objectName: "knob"
            x: scale.at(Views.thresholdFor(control.sensitivity)) - 9; y: 21
            width: 18; height: 18; radius: 9
            color: "white"
            border.color: Colours.accent
            border.width: 2
        }
        MouseArea {
            anchors.fill: parent
            function drag(mouse) {
                Views.dragSensitivity((mouse.x - scale.strict) / Math.max(scale.loose - scale.strict, 1))
            }
            onPressed: (mouse) => drag(mouse)
            onPositionChanged: (mouse) => drag(mouse)
        }
    }
    Text {
        objectName: "stepMeaning"
        text: Views.stepText(App.sensitivity)
        color: Colours.text
        font.pixelSize: 13
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
    Text {
        objectName: "ownFigures"
        text: App.ownFigures !== "" ? App.ownFigures + "."
                                    : qsTr("Your own figures show here after your first unlocks at the lock screen.")
        color: Colours.secondary
        font.pixelSize: 12
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
}
