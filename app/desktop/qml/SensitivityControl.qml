import QtQuick
import QtQuick.Layouts

// The threshold's scale: the selectable band, the closest stranger the
// model was measured on, the knob. The figures come from the model's
// measured scale; dragging anywhere on the scale moves in its steps.
ColumnLayout {
    id: control
    property real axisFrom: views.axisFrom
    property real axisTo: views.axisTo
    readonly property real sensitivity: Math.min(Math.max(model.config.sensitivity, 0), 1)
    spacing: 8
    Layout.fillWidth: true

    Item {
        id: scale
        objectName: "sensitivityScale"
        Layout.fillWidth: true
        implicitHeight: 40
        function at(t) { return width * (t - control.axisFrom) / (control.axisTo - control.axisFrom) }
        readonly property real strict: at(views.strictest)
        readonly property real loose: at(views.loosest)

        Text {
            text: qsTr("Secure"); font.pixelSize: 11; color: colours.secondary
            x: scale.strict + 20 - width / 2; y: 6 - height / 2
        }
        Text {
            text: qsTr("Convenient"); font.pixelSize: 11; color: colours.secondary
            x: scale.loose - 32 - width / 2; y: 6 - height / 2
        }
        Text {
            objectName: "strangerLabel"
            text: qsTr("closest stranger"); font.pixelSize: 11; color: colours.orange
            x: Math.min(scale.width - 46, scale.at(views.closestStranger)) - width / 2; y: 6 - height / 2
        }
        Rectangle {
            width: scale.width; height: 2; y: 29
            color: Qt.rgba(0.5, 0.5, 0.5, 0.3)
        }
        Rectangle {
            x: scale.strict; y: 27
            width: scale.loose - scale.strict; height: 6; radius: 3
            color: Qt.rgba(colours.accent.r, colours.accent.g, colours.accent.b, 0.35)
        }
        Rectangle {
            x: scale.at(views.closestStranger) - 4; y: 26
            width: 8; height: 8; radius: 4
            color: colours.orange
        }
        Rectangle {
            objectName: "knob"
            x: scale.at(views.thresholdFor(control.sensitivity)) - 9; y: 21
            width: 18; height: 18; radius: 9
            color: "white"
            border.color: colours.accent
            border.width: 2
        }
        MouseArea {
            anchors.fill: parent
            function drag(mouse) {
                views.dragSensitivity((mouse.x - scale.strict) / Math.max(scale.loose - scale.strict, 1))
            }
            onPressed: (mouse) => drag(mouse)
            onPositionChanged: (mouse) => drag(mouse)
        }
    }
    Text {
        objectName: "acceptance"
        text: views.acceptanceText(model.config.sensitivity)
        color: colours.text
        font.pixelSize: 13
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
}
