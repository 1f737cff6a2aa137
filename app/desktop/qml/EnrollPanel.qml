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
    readonly property bool capturing: enrollment.phase === EnrollModel.Capturing
    signal finished()
    spacing: 16

    EnrollModel { id: enrollment; objectName: "enrollModel" }

    CameraPreview {
        Layout.alignment: Qt.AlignHCenter
        feed: enrollment.feed
        highlight: enrollment.phase === EnrollModel.Done ? Colours.green
                 : enrollment.phase === EnrollModel.Capturing
                   ? (enrollment.inPosition ? Colours.green : Colours.accent) : "transparent"
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
                visible: enrollment.phase === EnrollModel.Ready
                text: enrollment.feed.faceVisible ? qsTr("Your face is in view. Keep a natural expression.")
                                                  : qsTr("Position your face in the frame.")
                color: Colours.secondary
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                visible: enrollment.phase === EnrollModel.Capturing
                text: qsTr("Step %1 of %2").arg(enrollment.stepIndex + 1).arg(Views.enrollmentSteps)
                color: Colours.secondary
                font.pixelSize: 12
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                objectName: "prompt"
                visible: enrollment.phase === EnrollModel.Capturing
                text: enrollment.prompt
                font.pixelSize: 15
                font.bold: true
                color: Colours.text
                Layout.alignment: Qt.AlignHCenter
            }
            SymbolLabel {
                visible: enrollment.phase === EnrollModel.Capturing
                symbol: enrollment.inPosition ? "object-select-symbolic" : "view-refresh-symbolic"
                text: enrollment.guidance
                color: enrollment.inPosition ? Colours.green : Colours.secondary
                Layout.alignment: Qt.AlignHCenter
            }
            ProgressBar {
                visible: enrollment.phase === EnrollModel.Capturing
                value: enrollment.progress
                Layout.preferredWidth: 220
                Layout.alignment: Qt.AlignHCenter
            }
            SymbolLabel {
                visible: enrollment.phase === EnrollModel.Done
                symbol: "object-select-symbolic"
                text: qsTr("Face enrolled")
                color: Colours.green
                bold: true
                size: 15
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                objectName: "missedPoses"
                visible: enrollment.phase === EnrollModel.Done && enrollment.missedPosesText !== ""
                text: qsTr("No pictures were taken in time for: %1. Capture them again for a face that unlocks from every angle.").arg(enrollment.missedPosesText)
                color: Colours.orange
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignHCenter
                Layout.maximumWidth: 400
                Layout.alignment: Qt.AlignHCenter
            }
            SymbolLabel {
                objectName: "failure"
                visible: enrollment.phase === EnrollModel.Failed
                symbol: "dialog-warning-symbolic"
                text: enrollment.failure
                color: Colours.orange
                Layout.alignment: Qt.AlignHCenter
            }
        }
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: panel.pinsButton ? 44 : button.implicitHeight
        Row {
            anchors.centerIn: parent
            spacing: 8
            Button {
                objectName: "recaptureButton"
                visible: enrollment.phase === EnrollModel.Done && enrollment.missedPosesText !== ""
                text: qsTr("Capture Them Again")
                onClicked: enrollment.recaptureMissed()
            }
            Button {
                id: button
                objectName: "enrollButton"
                highlighted: enrollment.phase === EnrollModel.Ready || enrollment.phase === EnrollModel.Done
                text: {
                    switch (enrollment.phase) {
                    case EnrollModel.Capturing: return qsTr("Cancel")
                    case EnrollModel.Done: return qsTr("Continue")
                    // A damaged faces file refuses every enrollment until it is set aside.
                    case EnrollModel.Failed: return App.facesDamaged ? qsTr("Set It Aside and Try Again") : qsTr("Try Again")
                    default: return qsTr("Start")
                    }
                }
                onClicked: {
                    if (enrollment.phase === EnrollModel.Capturing) enrollment.cancel()
                    else if (enrollment.phase === EnrollModel.Done) panel.finished()
                    else {
                        if (enrollment.phase === EnrollModel.Failed && App.facesDamaged) App.setAsideDamagedFaces()
                        enrollment.begin(panel.name)
                    }
                }
            }
        }
    }

    Component.onCompleted: enrollment.feed.start()
    Component.onDestruction: {
        enrollment.feed.stop()
        enrollment.cancel()
    }
}
