import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// First-run setup: camera, face, password, lock screen. The page shown is
// derived from the model, so setup resumes wherever it was left.
ColumnLayout {
    id: onboarding
    objectName: "onboarding"
    property bool started: false
    property int step: views.onboardingStep(model.camera, model.sampleCount, started, model.passwordSaved)
    readonly property bool cameraDenied: model.camera === 2
    spacing: 20

    // The dots: one per step, the current one long.
    Row {
        Layout.alignment: Qt.AlignHCenter
        spacing: 8
        Repeater {
            model: 4
            Rectangle {
                height: 8
                radius: 4
                width: index === onboarding.step ? 22 : 8
                color: index <= onboarding.step ? colours.accent : Qt.rgba(0.5, 0.5, 0.5, 0.25)
                Behavior on width { SpringAnimation { spring: 3; damping: 0.4 } }
                Behavior on color { ColorAnimation { duration: 200 } }
            }
        }
    }

    StackLayout {
        currentIndex: onboarding.step
        Layout.fillWidth: true
        Layout.fillHeight: true

        // Welcome, or what to do about a camera that refuses this user.
        OnboardingPage {
            objectName: "welcomePage"
            Image {
                visible: !onboarding.cameraDenied
                source: "qrc:/tarvo/tarvo.svg"
                sourceSize: Qt.size(96, 96)
                Layout.alignment: Qt.AlignHCenter
            }
            Symbol {
                visible: onboarding.cameraDenied
                name: "camera-web-symbolic"
                color: colours.accent
                size: 52
                Layout.alignment: Qt.AlignHCenter
            }
            Title {
                objectName: "welcomeTitle"
                text: onboarding.cameraDenied ? qsTr("Allow camera access")
                                              : qsTr("Unlock this computer with your face")
            }
            Explanation {
                visible: onboarding.cameraDenied
                text: model.cameraProblem
            }
            ColumnLayout {
                visible: !onboarding.cameraDenied
                spacing: 14
                Layout.alignment: Qt.AlignHCenter
                Layout.maximumWidth: 420
                Repeater {
                    model: [["input-keyboard-symbolic", qsTr("Press Return on the empty password field and Tarvo checks your face.")],
                            ["dialog-password-symbolic", qsTr("If Tarvo fails, your password still works.")],
                            ["image-x-generic-symbolic", qsTr("A good photo could unlock it. Turn on Require a blink to stop that.")]]
                    RowLayout {
                        spacing: 8
                        Symbol { name: modelData[0]; color: colours.accent; size: 17; Layout.preferredWidth: 26 }
                        Text { text: modelData[1]; color: colours.text; wrapMode: Text.WordWrap; Layout.fillWidth: true }
                    }
                }
            }
            buttons: Button {
                objectName: "getStarted"
                text: onboarding.cameraDenied ? qsTr("Check Again") : qsTr("Get Started")
                highlighted: true
                onClicked: {
                    onboarding.started = true
                    model.ensureCamera()
                    model.refresh()
                }
            }
        }

        // The first face, "Me".
        ColumnLayout {
            objectName: "enrollPage"
            spacing: 16
            Title { text: qsTr("Set up your face") }
            Text {
                text: qsTr("Follow the prompts for about ten seconds.")
                color: colours.secondary
                Layout.alignment: Qt.AlignHCenter
            }
            Loader {
                active: onboarding.step === 1
                Layout.fillWidth: true
                Layout.fillHeight: true
                sourceComponent: EnrollPanel {
                    name: "Me"
                    pinsButton: true
                    onFinished: model.refresh()
                }
            }
        }

        // The login password, checked and sealed.
        OnboardingPage {
            objectName: "passwordPage"
            Symbol { name: "dialog-password-symbolic"; color: colours.accent; size: 52; Layout.alignment: Qt.AlignHCenter }
            Title { text: qsTr("Enter your login password") }
            Explanation { text: qsTr("So your saved passwords keep working. It never leaves this computer.") }
            Label2 {
                objectName: "tpmProblem"
                visible: model.tpmProblem !== ""
                symbol: "dialog-warning-symbolic"
                text: model.tpmProblem
                color: colours.orange
                Layout.alignment: Qt.AlignHCenter
                Layout.maximumWidth: 420
            }
            TextField {
                id: passwordField
                objectName: "passwordField"
                enabled: model.tpmProblem === ""
                echoMode: TextInput.Password
                placeholderText: qsTr("Password")
                Layout.preferredWidth: 280
                Layout.alignment: Qt.AlignHCenter
                onAccepted: passwordSaving.save(passwordField.text)
            }
            Label2 {
                objectName: "passwordProblem"
                visible: passwordSaving.problem !== ""
                symbol: "dialog-warning-symbolic"
                text: passwordSaving.problem
                color: colours.orange
                Layout.alignment: Qt.AlignHCenter
                Layout.maximumWidth: 420
            }
            buttons: [
                BusyIndicator { running: passwordSaving.busy; visible: running },
                Button {
                    objectName: "continueButton"
                    visible: !passwordSaving.busy
                    text: qsTr("Continue")
                    highlighted: true
                    enabled: passwordField.text !== ""
                    onClicked: passwordSaving.save(passwordField.text)
                }
            ]
        }

        // The lock screens, through the administrator prompt.
        ColumnLayout {
            objectName: "lockScreenPage"
            spacing: 14
            Item { Layout.fillHeight: true }
            Symbol { name: "system-lock-screen-symbolic"; color: colours.accent; size: 52; Layout.alignment: Qt.AlignHCenter }
            Title { text: qsTr("Turning on face unlock") }
            Explanation { text: qsTr("Tarvo is adding itself to the lock screen. If it ever can't recognize you, you type your password as usual.") }
            Item { Layout.fillHeight: true }
            BusyIndicator { running: model.busy; visible: running; Layout.alignment: Qt.AlignHCenter }
            Button {
                objectName: "tryAgain"
                visible: !model.busy
                text: qsTr("Try Again")
                highlighted: true
                Layout.alignment: Qt.AlignHCenter
                onClicked: model.turnOnLockScreen()
            }
        }
    }

    // The error line keeps its height, so the page doesn't jump.
    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 36
        Label2 {
            objectName: "actionError"
            anchors.centerIn: parent
            width: Math.min(parent.width, 420)
            visible: model.actionError !== ""
            symbol: "dialog-warning-symbolic"
            text: model.actionError
            color: colours.orange
        }
    }

    PasswordSaving {
        id: passwordSaving
        onSaved: passwordField.text = ""
    }
    Connections {
        target: model
        function onLockScreenWiredChanged() {
            if (model.lockScreenWired) model.onboardingFinished = true
        }
    }
    onStepChanged: if (step === 3) model.turnOnLockScreen()
    Component.onCompleted: if (step === 3) model.turnOnLockScreen()
}
