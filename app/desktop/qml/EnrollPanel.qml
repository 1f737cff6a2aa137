import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// The guided enrollment: the picture, what to do, one button. The camera
// runs while the panel is on screen.
ColumnLayout {
    id: panel
    property string name: "Me"
    property bool pinsButton: false
    signal finished()
    // The model's phases, in its order.
    readonly property int ready: 0
    readonly property int capturing: 1
    readonly property int done: 2
    readonly property int failed: 3
    spacing: 16

    EnrollModel { id: enrollment; objectName: "enrollModel" }

    CameraPreview {
        Layout.alignment: Qt.AlignHCenter
        feed: enrollment.feed
        highlight: enrollment.phase === panel.done ? colours.green
                 : enrollment.phase === panel.capturing
                   ? (enrollment.inPosition ? colours.green : colours.accent) : "transparent"
    }

    Item {
        Layout.fillWidth: true
        Layout.minimumHeight: 86
        Layout.preferredHeight: status.implicitHeight
        ColumnLayout {
            id: status
            anchors.horizontalCenter: parent.horizontalCenter
            width: Math.min(parent.width, 400)
            spacing: 6
            Text {
                visible: enrollment.phase === panel.ready
                text: enrollment.feed.faceVisible ? qsTr("Your face is in view. Keep a natural expression.")
                                                  : qsTr("Position your face in the frame.")
                color: colours.secondary
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                visible: enrollment.phase === panel.capturing
                text: qsTr("Step %1 of %2").arg(enrollment.stepIndex + 1).arg(views.enrollmentSteps)
                color: colours.secondary
                font.pixelSize: 12
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                objectName: "prompt"
                visible: enrollment.phase === panel.capturing
                text: enrollment.prompt
                font.pixelSize: 15
                font.bold: true
                color: colours.text
                Layout.alignment: Qt.AlignHCenter
            }
            Label2 {
                visible: enrollment.phase === panel.capturing
                symbol: enrollment.inPosition ? "object-select-symbolic" : "view-refresh-symbolic"
                text: enrollment.guidance
                color: enrollment.inPosition ? colours.green : colours.secondary
                Layout.alignment: Qt.AlignHCenter
            }
            ProgressBar {
                visible: enrollment.phase === panel.capturing
                value: enrollment.progress
                Layout.preferredWidth: 220
                Layout.alignment: Qt.AlignHCenter
            }
            Label2 {
                visible: enrollment.phase === panel.done
                symbol: "object-select-symbolic"
                text: qsTr("Face enrolled")
                color: colours.green
                bold: true
                size: 15
                Layout.alignment: Qt.AlignHCenter
            }
            Label2 {
                objectName: "failure"
                visible: enrollment.phase === panel.failed
                symbol: "dialog-warning-symbolic"
                text: enrollment.failure
                color: colours.orange
                Layout.alignment: Qt.AlignHCenter
            }
        }
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: panel.pinsButton ? 44 : button.implicitHeight
        Button {
            id: button
            objectName: "enrollButton"
            anchors.centerIn: parent
            highlighted: enrollment.phase === panel.ready || enrollment.phase === panel.done
            text: [qsTr("Start"), qsTr("Cancel"), qsTr("Continue"), qsTr("Try Again")][enrollment.phase]
            onClicked: {
                if (enrollment.phase === panel.capturing) enrollment.cancel()
                else if (enrollment.phase === panel.done) panel.finished()
                else enrollment.begin(panel.name)
            }
        }
    }

    Component.onCompleted: enrollment.feed.start()
    Component.onDestruction: {
        enrollment.feed.stop()
        enrollment.cancel()
    }
}
