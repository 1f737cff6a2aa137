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
    // The open sheet: "", "enroll", "test" or "password"; the face enrolled.
    property string sheet: ""
    property string sheetName: ""
    property var removing: null

    function openSheet(kind, name) {
        sheetName = name || ""
        sheet = kind
    }
    function closeSheet() {
        sheet = ""
        model.refresh()
    }
    function enrollIfCamera(name) {
        if (model.ensureCamera()) openSheet("enroll", name)
    }

    // Header.
    RowLayout {
        Layout.fillWidth: true
        Layout.margins: 20
        spacing: 12
        Image { source: "qrc:/tarvo/tarvo.svg"; sourceSize: Qt.size(40, 40) }
        ColumnLayout {
            spacing: 2
            Text { text: "Tarvo"; font.pixelSize: 15; font.bold: true; color: colours.text }
            RowLayout {
                spacing: 6
                Rectangle { width: 7; height: 7; radius: 3.5; color: model.isReady ? colours.green : colours.orange }
                Text { objectName: "summary"; text: model.statusSummary; font.pixelSize: 11; color: colours.secondary }
            }
        }
        Item { Layout.fillWidth: true }
        Button {
            objectName: "testButton"
            text: qsTr("Test")
            icon.name: "camera-photo-symbolic"
            enabled: model.sampleCount >= 1
            ToolTip.visible: hovered
            ToolTip.text: enabled ? qsTr("Check that Tarvo recognizes you") : qsTr("Enroll your face first")
            onClicked: if (model.ensureCamera()) home.openSheet("test")
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
            Label2 {
                objectName: "actionError"
                visible: model.actionError !== ""
                symbol: "dialog-warning-symbolic"
                text: model.actionError
                color: colours.orange
                Layout.fillWidth: true
                Layout.leftMargin: 24
                Layout.rightMargin: 24
            }

            Card {
                title: qsTr("FACES")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                Repeater {
                    model: window.appModel.faces
                    ColumnLayout {
                        Layout.fillWidth: true
                        Divider { visible: index > 0 }
                        RowLayout {
                            spacing: 8
                            Symbol { name: "avatar-default-symbolic"; size: 20; Layout.preferredWidth: 24 }
                            ColumnLayout {
                                spacing: 2
                                Text { text: modelData.name; color: colours.text }
                                Text { text: qsTr("%1 samples").arg(modelData.samples); font.pixelSize: 11; color: colours.secondary }
                            }
                            Item { Layout.fillWidth: true }
                            Button { text: qsTr("Re-enroll…"); onClicked: home.enrollIfCamera(modelData.name) }
                            Button {
                                display: AbstractButton.IconOnly
                                Layout.preferredWidth: 36
                                icon.name: "user-trash-symbolic"
                                ToolTip.visible: hovered
                                ToolTip.text: qsTr("Remove %1").arg(modelData.name)
                                onClicked: home.removing = modelData
                            }
                        }
                    }
                }
                RowLayout {
                    visible: model.faces.length === 0
                    spacing: 8
                    Symbol { name: "avatar-default-symbolic"; size: 20; Layout.preferredWidth: 24 }
                    ColumnLayout {
                        spacing: 2
                        Text { text: qsTr("No face enrolled"); color: colours.text }
                        Text {
                            objectName: "faceDetail"
                            text: views.faceDetail(model.camera, model.sampleCount)
                            font.pixelSize: 11; color: colours.secondary
                        }
                    }
                }
                Setting {
                    caption: qsTr("Several faces can unlock this computer. Add yourself again in glasses, or add someone you want to let in. Unlocking matches the closest of them all.")
                    Button {
                        objectName: "addFace"
                        text: qsTr("Add a Face…")
                        onClicked: {
                            nameField.text = views.suggestedName(model.faces)
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
                    visible: model.moduleOutdated
                    caption: qsTr("Tarvo was updated, but the part of it the lock screen loads is still the old version. You will be asked for your password once.")
                    StatusRow {
                        ok: false
                        problem: qsTr("Lock screen module needs updating")
                        BusyIndicator { running: model.busy; visible: running; implicitWidth: 24; implicitHeight: 24 }
                        Button { visible: !model.busy; text: qsTr("Update…"); onClicked: model.updateModule() }
                    }
                }
                Divider { visible: model.moduleOutdated }
                StatusRow {
                    objectName: "lockScreenRow"
                    ok: model.lockScreenWired
                    text: qsTr("Lock screen")
                    problem: model.lockScreenProblem === "" ? qsTr("Lock screen is off")
                                                            : qsTr("Lock screen needs repair: %1").arg(model.lockScreenProblem)
                    BusyIndicator { running: model.busy; visible: running; implicitWidth: 24; implicitHeight: 24 }
                    Button {
                        objectName: "lockScreenButton"
                        visible: !model.busy
                        text: model.lockScreenWired ? qsTr("Turn Off…")
                            : model.lockScreenProblem !== "" ? qsTr("Repair…") : qsTr("Turn On…")
                        onClicked: model.lockScreenWired ? confirmingOff.open() : model.turnOnLockScreen()
                    }
                }
                Divider {}
                Setting {
                    caption: qsTr("A face unlock skips your password, and your keyring needs it. It is sealed by this computer's TPM and used for nothing else.")
                    StatusRow {
                        objectName: "passwordRow"
                        ok: model.passwordSaved
                        text: qsTr("Login password saved")
                        problem: qsTr("Needs your login password")
                        Button { visible: model.passwordSaved; text: qsTr("Change…"); onClicked: home.openSheet("password") }
                        Button { visible: model.passwordSaved; text: qsTr("Forget"); onClicked: views.forgetPassword() }
                        Button { objectName: "addPassword"; visible: !model.passwordSaved; text: qsTr("Add…"); onClicked: home.openSheet("password") }
                    }
                }
                Divider { visible: model.tpmProblem !== "" }
                StatusRow {
                    objectName: "tpmRow"
                    visible: model.tpmProblem !== ""
                    ok: false
                    problem: model.tpmProblem
                }
                Divider {}
                StatusRow {
                    objectName: "cameraRow"
                    ok: model.camera === 1
                    text: qsTr("Camera ready")
                    problem: model.cameraProblem
                    // A camera that refuses this user: after joining the
                    // group, look again. Nothing to press for a camera
                    // that isn't there: plugging one in shows here.
                    Button {
                        visible: model.camera === 2
                        text: qsTr("Check Again")
                        onClicked: { model.ensureCamera(); model.refresh() }
                    }
                }
                Divider { visible: !model.agentRunning }
                StatusRow {
                    objectName: "agentRow"
                    visible: !model.agentRunning
                    ok: false
                    problem: views.agentProblem(model.agentHost, model.agentError)
                }
            }

            Card {
                title: qsTr("RECOGNITION")
                Layout.leftMargin: 24
                Layout.rightMargin: 24
                SensitivityControl {}
                Divider {}
                Setting {
                    caption: model.config.liveness === "blink"
                             ? qsTr("A still photo can't unlock this computer. Unlocking waits for your next blink.")
                             : qsTr("Unlocks as soon as it sees you. A good photo of you could also unlock it.")
                    Switch {
                        objectName: "blinkSwitch"
                        text: qsTr("Require a blink")
                        checked: model.config.liveness === "blink"
                        onToggled: views.setBlink(checked)
                    }
                }
                Divider {}
                Setting {
                    caption: qsTr("Unless you choose one, Tarvo uses the first camera that sees in colour. An infrared camera works too.")
                    RowLayout {
                        Text { text: qsTr("Camera"); color: colours.text }
                        ComboBox {
                            objectName: "cameraChoice"
                            readonly property var cameras: window.appModel.cameras
                            model: [qsTr("Automatic")].concat(cameras.map(c => c.infrared ? qsTr("%1 (infrared)").arg(c.card) : c.card || c.name))
                            currentIndex: window.appModel.config.camera === "" ? 0
                                          : 1 + cameras.findIndex(c => c.name === window.appModel.config.camera)
                            onActivated: (index) => views.setCamera(index === 0 ? "" : cameras[index - 1].name)
                            Layout.preferredWidth: 260
                        }
                    }
                }
                Divider {}
                Setting {
                    caption: model.config.warmWithDisplay
                             ? qsTr("Faster unlocks. The camera light comes on while the lock screen is showing.")
                             : qsTr("The camera light only comes on when you press Return, about a second slower.")
                    RowLayout {
                        Text { text: qsTr("Start the camera"); color: colours.text }
                        ComboBox {
                            model: [qsTr("When the screen wakes"), qsTr("When I press Return")]
                            currentIndex: window.appModel.config.warmWithDisplay ? 0 : 1
                            onActivated: (index) => views.setWarmWithDisplay(index === 0)
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
                    caption: model.hostsAgent
                             ? qsTr("No user service manager runs here, so face unlock runs inside Tarvo and stops when you quit it. You can close this window; Tarvo stays in the tray.")
                             : qsTr("Face unlock runs in the background whether Tarvo is open or not.")
                    Switch {
                        objectName: "loginSwitch"
                        text: qsTr("Show in the tray at login")
                        checked: model.launchAtLogin
                        onToggled: model.setLaunchAtLogin(checked)
                    }
                }
                Divider {}
                RowLayout {
                    RowLayout {
                        visible: model.collectingDiagnostics && !model.diagnosticsCopied
                        BusyIndicator { running: parent.visible; implicitWidth: 20; implicitHeight: 20 }
                        Text { objectName: "checking"; text: qsTr("Checking…"); color: colours.secondary }
                    }
                    Button {
                        objectName: "copyDiagnostics"
                        visible: !(model.collectingDiagnostics && !model.diagnosticsCopied)
                        text: qsTr("Copy Diagnostics")
                        onClicked: model.copyDiagnostics()
                    }
                    Label2 {
                        objectName: "copied"
                        visible: model.diagnosticsCopied
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
                    Text { text: qsTr("Remove Tarvo from this computer"); color: colours.text }
                    Item { Layout.fillWidth: true }
                    BusyIndicator { running: model.busy; visible: running; implicitWidth: 24; implicitHeight: 24 }
                    Button { objectName: "uninstall"; visible: !model.busy; text: qsTr("Uninstall…"); onClicked: confirmingUninstall.open() }
                }
                Text {
                    text: qsTr("Takes Tarvo out of the lock screen, deletes your faces and saved password, and removes the app.")
                    font.pixelSize: 11
                    color: colours.secondary
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
        target: model
        function onActionErrorChanged() { if (model.actionError !== "") page.contentItem.contentY = 0 }
    }

    Dialog {
        id: confirmingOff
        objectName: "confirmingOff"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Turn off face unlock?")
        Text {
            width: 360; wrapMode: Text.WordWrap; color: colours.text
            text: qsTr("Tarvo will be removed from the lock screen and this computer will only unlock with your password. You will be asked for your password to make the change.")
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            Button { text: qsTr("Turn Off"); DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole }
        }
        onAccepted: model.turnOffLockScreen()
    }
    Dialog {
        id: naming
        objectName: "naming"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Add a face")
        ColumnLayout {
            width: 360
            Text {
                text: qsTr("What should Tarvo call this face? Enrolling one that is already on the list replaces it.")
                wrapMode: Text.WordWrap; color: colours.text; Layout.fillWidth: true
            }
            TextField { id: nameField; objectName: "nameField"; placeholderText: qsTr("Name"); Layout.fillWidth: true }
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            Button { objectName: "nameContinue"; text: qsTr("Continue"); DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole }
        }
        onAccepted: {
            var name = nameField.text.trim()
            if (name !== "") home.enrollIfCamera(name)
        }
    }
    Dialog {
        id: confirmingUninstall
        objectName: "confirmingUninstall"
        anchors.centerIn: Overlay.overlay
        modal: true
        title: qsTr("Uninstall Tarvo?")
        Text {
            width: 360; wrapMode: Text.WordWrap; color: colours.text
            text: qsTr("This removes face unlock from the lock screen, deletes your enrolled faces, and removes Tarvo itself. This computer will unlock with your password as it did before. Tarvo will quit when it is done.")
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            Button { text: qsTr("Uninstall"); DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole }
        }
        onAccepted: model.uninstallEverything()
    }
    Dialog {
        objectName: "removing"
        anchors.centerIn: Overlay.overlay
        modal: true
        visible: home.removing !== null
        title: qsTr("Remove this face?")
        Text {
            width: 360; wrapMode: Text.WordWrap; color: colours.text
            text: home.removing ? qsTr("Tarvo will stop recognizing %1.").arg(home.removing.name) : ""
        }
        footer: DialogButtonBox {
            Button { text: qsTr("Cancel"); DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            Button { text: qsTr("Remove"); DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole }
        }
        onAccepted: { views.removeFace(home.removing.id); home.removing = null }
        onRejected: home.removing = null
    }

    // The sheets: their panels exist only while open, so closing one stops
    // its camera and cancels its enrollment.
    Popup {
        id: sheetPopup
        objectName: "sheet"
        anchors.centerIn: Overlay.overlay
        modal: true
        padding: 28
        visible: home.sheet !== ""
        closePolicy: Popup.CloseOnEscape
        onClosed: if (home.sheet !== "") home.closeSheet()
        Loader {
            id: sheetContent
            active: home.sheet !== ""
            sourceComponent: home.sheet === "password" ? passwordSheet : home.sheet === "test" ? testSheet : enrollSheet
        }
    }
    Component {
        id: enrollSheet
        ColumnLayout {
            spacing: 20
            Title {
                text: views.hasFaceNamed(model.faces, home.sheetName) ? qsTr("Re-enroll %1").arg(home.sheetName)
                                                                     : qsTr("Add %1").arg(home.sheetName)
                font.pixelSize: 20
            }
            EnrollPanel { objectName: "enrollPanel"; name: home.sheetName; onFinished: home.closeSheet() }
            Button { objectName: "closeSheet"; text: qsTr("Close"); Layout.alignment: Qt.AlignHCenter; onClicked: home.closeSheet() }
        }
    }
    Component {
        id: testSheet
        ColumnLayout {
            spacing: 20
            Title { text: qsTr("Test Recognition"); font.pixelSize: 20 }
            TestPanel { objectName: "testPanel" }
            Button { text: qsTr("Close"); Layout.alignment: Qt.AlignHCenter; onClicked: home.closeSheet() }
        }
    }
    Component {
        id: passwordSheet
        PasswordPanel { onDone: home.closeSheet() }
    }
}
