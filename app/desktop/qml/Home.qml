import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// The main window once set up: whether face unlock is on, the faces, every
// prerequisite with what fixes it, the settings, diagnostics, uninstall.
ColumnLayout {
    id: home
    objectName: "home"
    spacing: 0
    // Header.
    RowLayout {
        Layout.fillWidth: true
        Layout.margins: 20
        spacing: 12
        Image { source: "tarvo.svg"; sourceSize.width: 40; sourceSize.height: 40 }
        ColumnLayout {
            spacing: 2
            Text { text: "Tarvo"; font.pixelSize: 15; font.bold: true; color: Colours.text }
            RowLayout {
                spacing: 6
                Rectangle { width: 7; height: 7; radius: 3.5; color: App.isReady ? Colours.green : Colours.orange }
                Text { objectName: "summary"; text: App.statusSummary; font.pixelSize: 11; color: Colours.secondary }
            }
        }
        Item { Layout.fillWidth: true }
        Button {
            objectName: "testButton"
            text: qsTr("Test")
            icon.name: "camera-photo-symbolic"
            enabled: App.sampleCount >= 1
            ToolTip.visible: hovered
            ToolTip.text: enabled ? qsTr("Check that Tarvo recognizes you") : qsTr("Enroll your face first")
            onClicked: if (App.ensureCamera()) Views.openSheet(Views.TestSheet)
        }
    }
    Divider {}

    ScrollView {
        id: page
        Layout.fillWidth: true
        Layout.fillHeight: true
        contentWidth: availableWidth
        ColumnLayout {
            width: parent.width
            spacing: 24

            Item { implicitHeight: 0 }
            SymbolLabel {
                objectName: "actionError"
                visible: App.actionError !== ""
                symbol: "dialog-warning-symbolic"
                text: App.actionError
                color: Colours.orange
                Layout.fillWidth: true
                Layout.leftMargin: 24
                Layout.rightMargin: 24
            }

            Card {
                title: qsTr("FACES")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                Repeater {
                    model: App.faces
                    delegate: FaceRow {}
                }
                ColumnLayout {
                    objectName: "learnedRow"
                    visible: App.learnedCount > 0
                    spacing: 6
                    Layout.fillWidth: true
                    Text {
                        text: App.learnedCount === 1
                              ? qsTr("Tarvo learned 1 sample of your face from a time it missed you and you typed your password.")
                              : qsTr("Tarvo learned %1 samples of your face from times it missed you and you typed your password.").arg(App.learnedCount)
                        font.pixelSize: 11; color: Colours.secondary
                        wrapMode: Text.WordWrap
                        Layout.fillWidth: true
                    }
                    Button {
                        objectName: "forgetLearned"
                        text: qsTr("Forget What Was Learned")
                        ToolTip.visible: hovered
                        ToolTip.text: qsTr("Keeps what you enrolled")
                        onClicked: App.forgetLearned()
                    }
                }
                StatusRow {
                    objectName: "facesProblemRow"
                    visible: App.facesProblem !== ""
                    ok: false
                    problem: App.facesProblem
                    Button {
                        objectName: "setAsideFaces"
                        visible: App.facesDamaged
                        text: qsTr("Set Aside")
                        ToolTip.visible: hovered
                        ToolTip.text: qsTr("Renames the damaged file, keeping it, so that you can enroll again")
                        onClicked: App.setAsideDamagedFaces()
                    }
                }
                RowLayout {
                    visible: App.faces.count === 0 && App.facesProblem === ""
                    spacing: 8
                    Symbol { name: "avatar-default-symbolic"; size: 20; Layout.preferredWidth: 24 }
                    ColumnLayout {
                        spacing: 2
                        Text { text: qsTr("No face enrolled"); color: Colours.text }
                        Text {
                            objectName: "faceDetail"
                            text: Views.faceDetail(App.camera, App.sampleCount)
                            font.pixelSize: 11; color: Colours.secondary
                        }
                    }
                }
                Setting {
                    caption: qsTr("Several faces can unlock this computer. Add yourself again in glasses, or add someone you want to let in. Unlocking matches the closest of them all.")
                    Button {
                        objectName: "addFace"
                        text: qsTr("Add a Face…")
                        onClicked: {
                            nameField.text = App.faces.suggestedName()
                            naming.open()
                        }
                    }
                }
            }

            Card {
                title: qsTr("UNLOCK WITH YOUR FACE")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                Setting {
                    visible: !App.status.module.fine
                    caption: qsTr("Tarvo was updated, but the part of it the lock screen loads is still the old version. You will be asked for your password once.")
                    StatusRow {
                        ok: false
                        problem: qsTr("Lock screen module needs updating")
                        BusyIndicator { running: App.busy; visible: running; implicitWidth: 24; implicitHeight: 24 }
                        Button { visible: !App.busy; text: qsTr("Update…"); onClicked: App.updateModule() }
                    }
                }
                Divider { visible: !App.status.module.fine }
                StatusRow {
                    objectName: "lockScreenRow"
                    ok: App.status.lockScreen.fine
                    text: qsTr("Lock screen")
                    problem: App.lockScreenProblem === "" ? qsTr("Lock screen is off")
                                                            : qsTr("Lock screen needs repair: %1").arg(App.lockScreenProblem)
                    BusyIndicator { running: App.busy; visible: running; implicitWidth: 24; implicitHeight: 24 }
                    Button {
                        objectName: "lockScreenButton"
                        visible: !App.busy
                        text: App.lockScreenWired ? qsTr("Turn Off…")
                            : App.lockScreenProblem !== "" ? qsTr("Repair…") : qsTr("Turn On…")
                        onClicked: App.lockScreenWired ? confirmingOff.open() : App.turnOnLockScreen()
                    }
                }
                Divider {}
                Setting {
                    caption: qsTr("A face unlock skips your password, and your keyring needs it. It is sealed by this computer's TPM and used for nothing else.")
                    StatusRow {
                        objectName: "passwordRow"
                        ok: App.status.password.fine
                        text: qsTr("Login password saved")
                        problem: App.passwordProblem !== "" ? App.passwordProblem : qsTr("Needs your login password")
                        Button { visible: App.passwordSaved; text: qsTr("Change…"); onClicked: Views.openSheet(Views.PasswordSheet) }
                        Button { visible: App.passwordSaved; text: qsTr("Forget"); onClicked: Views.forgetPassword() }
                        Button { objectName: "addPassword"; visible: !App.passwordSaved; text: qsTr("Add…"); onClicked: Views.openSheet(Views.PasswordSheet) }
                    }
                }
                Divider { visible: !App.status.tpm.fine }
                StatusRow {
                    objectName: "tpmRow"
                    visible: !App.status.tpm.fine
                    ok: false
                    problem: App.status.tpm.detail
                }
                Divider {}
                StatusRow {
                    objectName: "cameraRow"
                    ok: App.status.camera.fine
                    text: qsTr("Camera ready")
                    problem: App.status.camera.detail
                    // A camera that refuses this user: after joining the
                    // group, look again. Nothing to press for a camera
                    // that isn't there: plugging one in shows here.
                    Button {
                        visible: App.camera === App.Denied
                        text: qsTr("Check Again")
                        onClicked: { App.ensureCamera(); App.refresh() }
                    }
                }
                Divider { visible: !App.status.agent.fine }
                StatusRow {
                    objectName: "agentRow"
                    visible: !App.status.agent.fine
                    ok: false
                    problem: Views.agentProblem(App.agentHost, App.agentError)
                }
            }

            Card {
                title: qsTr("RECOGNITION")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                StatusRow {
                    objectName: "settingsProblemRow"
                    visible: !App.status.settings.fine
                    ok: false
                    problem: App.status.settings.state
                }
                Divider { visible: !App.status.settings.fine }
                StatusRow {
                    objectName: "modelRow"
                    visible: !App.status.model.fine
                    ok: false
                    problem: qsTr("The face model is missing or incomplete, so no face can match. Install Tarvo again.")
                }
                Divider { visible: !App.status.model.fine }
                SensitivityControl {}
                Divider {}
                Setting {
                    caption: App.blink
                             ? qsTr("A still photo can't unlock this computer. Unlocking waits for your next blink.")
                             : qsTr("Unlocks as soon as it sees you. A good photo of you could also unlock it.")
                    Switch {
                        objectName: "blinkSwitch"
                        text: qsTr("Require a blink")
                        checked: App.blink
                        onToggled: App.setBlink(checked)
                    }
                }
                Divider {}
                Setting {
                    caption: qsTr("Unless you choose one, Tarvo uses the first camera that sees in colour. An infrared camera works too.")
                    RowLayout {
                        Text { text: qsTr("Camera"); color: Colours.text }
                        ComboBox {
                            objectName: "cameraChoice"
                            model: App.cameras.menu
                            currentIndex: App.cameras.menuIndex(App.chosenCamera)
                            onActivated: (index) => App.chooseCamera(index)
                            Layout.preferredWidth: 260
                        }
                    }
                }
                Divider {}
                Setting {
                    caption: App.warmWithDisplay
                             ? qsTr("Faster unlocks. The camera light comes on while the lock screen is showing.")
                             : qsTr("The camera light only comes on when you press Return, about a second slower.")
                    RowLayout {
                        Text { text: qsTr("Start the camera"); color: Colours.text }
                        ComboBox {
                            model: [qsTr("When the screen wakes"), qsTr("When I press Return")]
                            currentIndex: App.warmWithDisplay ? 0 : 1
                            onActivated: (index) => App.setWarmWithDisplay(index === 0)
                            Layout.preferredWidth: 220
                        }
                    }
                }
            }

            Card {
                title: qsTr("GENERAL")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                Setting {
                    caption: App.hostsAgent
                             ? qsTr("No user service manager runs here, so face unlock runs inside Tarvo and stops when you quit it. You can close this window; Tarvo stays in the tray.")
                             : qsTr("Face unlock runs in the background whether Tarvo is open or not.")
                    Switch {
                        objectName: "loginSwitch"
                        text: qsTr("Show in the tray at login")
                        checked: App.launchAtLogin
                        onToggled: App.setLaunchAtLogin(checked)
                    }
                }
                Divider {}
                RowLayout {
                    RowLayout {
                        visible: App.collectingDiagnostics && !App.diagnosticsCopied
                        BusyIndicator { running: parent.visible; implicitWidth: 20; implicitHeight: 20 }
                        Text { objectName: "checking"; text: qsTr("Checking…"); color: Colours.secondary }
                    }
                    Button {
                        objectName: "copyDiagnostics"
                        visible: !(App.collectingDiagnostics && !App.diagnosticsCopied)
                        text: qsTr("Copy Diagnostics")
                        onClicked: App.copyDiagnostics()
                    }
                    SymbolLabel {
                        objectName: "copied"
                        visible: App.diagnosticsCopied
                        symbol: "object-select-symbolic"
                        text: qsTr("Copied")
                    }
                }
            }

            Card {
                title: qsTr("UNINSTALL")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                RowLayout {
                    Layout.fillWidth: true
                    Text { text: qsTr("Remove Tarvo from this computer"); color: Colours.text }
                    Item { Layout.fillWidth: true }
                    BusyIndicator { running: App.busy; visible: running; implicitWidth: 24; implicitHeight: 24 }
                    Button { objectName: "uninstall"; visible: !App.busy; text: qsTr("Uninstall…"); onClicked: confirmingUninstall.open() }
                }
                Text {
                    text: qsTr("Takes Tarvo out of the lock screen, deletes your faces and saved password, and removes the app.")
                    font.pixelSize: 11
                    color: Colours.secondary
                    wrapMode: Text.WordWrap
                    Layout.fillWidth: true
                }
            }
            Item { implicitHeight: 0 }
        }
    }
    // Errors show at the top of the page, wherever the control that failed
    // was: scroll them into view.
    Connections {
        target: App
        function onActionErrorChanged() { if (App.actionError !== "") page.contentItem.contentY = 0 }
    }

    Dialog {
        id: confirmingOff
        objectName: "confirmingOff"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Turn off face unlock?")
        width: 440
        padding: 20
        Text {
            width: confirmingOff.availableWidth; wrapMode: Text.WordWrap; color: Colours.text
            text: App.passwordSaved
                  ? qsTr("Tarvo will be removed from the lock screen and this computer will only unlock with your password. Your saved password makes the change where it can; otherwise you will be asked for it.")
                  : qsTr("Tarvo will be removed from the lock screen and this computer will only unlock with your password. You will be asked for your password to make the change.")
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); onClicked: confirmingOff.reject() }
            Button { text: qsTr("Turn Off"); onClicked: confirmingOff.accept() }
        }
        onAccepted: App.turnOffLockScreen()
    }
    Dialog {
        id: naming
        objectName: "naming"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Add a face")
        width: 440
        padding: 20
        ColumnLayout {
            width: naming.availableWidth
            Text {
                text: qsTr("What should Tarvo call this face? Enrolling one that is already on the list replaces it.")
                wrapMode: Text.WordWrap; color: Colours.text; Layout.fillWidth: true
            }
            TextField { id: nameField; objectName: "nameField"; placeholderText: qsTr("Name"); Layout.fillWidth: true }
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); onClicked: naming.reject() }
            Button { objectName: "nameContinue"; text: qsTr("Continue"); onClicked: naming.accept() }
        }
        onAccepted: {
            var name = nameField.text.trim()
            if (name !== "") Views.enrollIfCamera(name)
        }
    }
    Dialog {
        id: confirmingUninstall
        objectName: "confirmingUninstall"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Uninstall Tarvo?")
        width: 440
        padding: 20
        Text {
            width: confirmingUninstall.availableWidth; wrapMode: Text.WordWrap; color: Colours.text
            text: qsTr("This removes face unlock from the lock screen, deletes your enrolled faces, and removes Tarvo itself. This computer will unlock with your password as it did before. Tarvo will quit when it is done.")
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); onClicked: confirmingUninstall.reject() }
            Button { text: qsTr("Uninstall"); onClicked: confirmingUninstall.accept() }
        }
        onAccepted: App.uninstallEverything()
    }
    Dialog {
        id: removingDialog
        objectName: "removing"
        anchors.centerIn: Overlay.overlay
        modal: true
        visible: Views.removingId !== ""
        title: qsTr("Remove this face?")
        width: 440
        padding: 20
        Text {
            width: removingDialog.availableWidth; wrapMode: Text.WordWrap; color: Colours.text
            text: qsTr("Tarvo will stop recognizing %1.").arg(Views.removingName)
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); onClicked: removingDialog.reject() }
            Button { objectName: "confirmRemove"; text: qsTr("Remove"); onClicked: removingDialog.accept() }
        }
        onAccepted: Views.confirmRemoval()
        onRejected: Views.cancelRemoval()
    }

    // The sheets: their panels exist only while open, so closing one stops
    // its camera and cancels its enrollment.
    Popup {
        id: sheetPopup
        objectName: "sheet"
        anchors.centerIn: Overlay.overlay
        modal: true
        padding: 28
        visible: Views.sheet !== Views.NoSheet
        closePolicy: Popup.CloseOnEscape
        onClosed: if (Views.sheet !== Views.NoSheet) Views.closeSheet()
        Loader {
            id: sheetContent
            active: Views.sheet !== Views.NoSheet
            sourceComponent: Views.sheet === Views.PasswordSheet ? passwordSheet
                           : Views.sheet === Views.TestSheet ? testSheet : enrollSheet
        }
    }
    Component { id: enrollSheet; EnrollSheet {} }
    Component { id: testSheet; TestSheet {} }
    Component { id: passwordSheet; PasswordPanel { onDone: Views.closeSheet() } }
}
