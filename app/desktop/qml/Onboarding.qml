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
    property int step: Views.onboardingStep(App.camera, App.sampleCount, started, App.passwordSaved)
    readonly property bool cameraDenied: App.camera === App.Denied
    spacing: 20

    // The dots: one per step, the current one long.
    Row {
        Layout.alignment: Qt.AlignHCenter
        spacing: 8
        Dot { current: onboarding.step === Views.Welcome; reached: true }
        Dot { current: onboarding.step === Views.Enroll; reached: onboarding.step >= Views.Enroll }
        Dot { current: onboarding.step === Views.Password; reached: onboarding.step >= Views.Password }
        Dot { current: onboarding.step === Views.LockScreen; reached: onboarding.step >= Views.LockScreen }
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
                source: "tarvo.svg"
                sourceSize.width: 96
                sourceSize.height: 96
                Layout.alignment: Qt.AlignHCenter
            }
            Symbol {
                visible: onboarding.cameraDenied
                name: "camera-web-symbolic"
                color: Colours.accent
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
                text: App.cameraProblem
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
                        id: point
                        required property var modelData
                        spacing: 8
                        Symbol { name: point.modelData[0]; color: Colours.accent; size: 17; Layout.preferredWidth: 26 }
                        Text { text: point.modelData[1]; color: Colours.text; wrapMode: Text.WordWrap; Layout.fillWidth: true }
                    }
                }
            }
            buttons: Button {
                objectName: "getStarted"
                text: onboarding.cameraDenied ? qsTr("Check Again") : qsTr("Get Started")
                highlighted: true
                onClicked: {
                    onboarding.started = true
                    App.ensureCamera()
                    App.refresh()
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
                color: Colours.secondary
                Layout.alignment: Qt.AlignHCenter
            }
            Loader {
                active: onboarding.step === Views.Enroll
                Layout.fillWidth: true
                Layout.fillHeight: true
                sourceComponent: EnrollPanel {
                    name: "Me"
                    pinsButton: true
                    onFinished: App.refresh()
                }
            }
        }

        // The login password, checked and sealed.
        OnboardingPage {
            objectName: "passwordPage"
            Symbol { name: "dialog-password-symbolic"; color: Colours.accent; size: 52; Layout.alignment: Qt.AlignHCenter }
            Title { text: qsTr("Enter your login password") }
            Explanation { text: qsTr("So your saved passwords keep working. It never leaves this computer.") }
            SymbolLabel {
                objectName: "tpmProblem"
                visible: App.tpmProblem !== ""
                symbol: "dialog-warning-symbolic"
                text: App.tpmProblem
                color: Colours.orange
                Layout.alignment: Qt.AlignHCenter
                Layout.maximumWidth: 420
            }
            TextField {
                id: passwordField
                objectName: "passwordField"
                enabled: App.tpmProblem === ""
                echoMode: TextInput.Password
                placeholderText: qsTr("Password")
                Layout.preferredWidth: 280
                Layout.alignment: Qt.AlignHCenter
                onAccepted: passwordSaving.save(passwordField.text)
            }
            SymbolLabel {
                objectName: "passwordProblem"
                visible: passwordSaving.problem !== ""
                symbol: "dialog-warning-symbolic"
                text: passwordSaving.problem
                color: Colours.orange
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
            Symbol { name: "system-lock-screen-symbolic"; color: Colours.accent; size: 52; Layout.alignment: Qt.AlignHCenter }
            Title { text: qsTr("Turning on face unlock") }
            Explanation { text: qsTr("Tarvo is adding itself to the lock screen. If it ever can't recognize you, you type your password as usual.") }
            Item { Layout.fillHeight: true }
            BusyIndicator { running: App.busy; visible: running; Layout.alignment: Qt.AlignHCenter }
            Button {
                objectName: "tryAgain"
                visible: !App.busy
                text: qsTr("Try Again")
                highlighted: true
                Layout.alignment: Qt.AlignHCenter
                onClicked: App.turnOnLockScreen()
            }
        }
    }

    // The error line keeps its height, so the page doesn't jump.
    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 36
        SymbolLabel {
            objectName: "actionError"
            anchors.centerIn: parent
            width: Math.min(parent.width, 420)
            visible: App.actionError !== ""
            symbol: "dialog-warning-symbolic"
            text: App.actionError
            color: Colours.orange
        }
    }

    PasswordSaving {
        id: passwordSaving
        onSaved: passwordField.text = ""
        onRefused: passwordField.text = ""
    }
    Connections {
        target: App
        function onLockScreenWiredChanged() {
            if (App.lockScreenWired) App.onboardingFinished = true
        }
    }
    onStepChanged: if (step === Views.LockScreen) App.turnOnLockScreen()
    Component.onCompleted: if (step === Views.LockScreen) App.turnOnLockScreen()
}
