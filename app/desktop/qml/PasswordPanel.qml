import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// Saving or changing the login password, checked before it is sealed.
ColumnLayout {
    id: panel
    objectName: "passwordPanel"
    signal done()
    spacing: 14
    width: 400

    Title { text: qsTr("Your Login Password"); font.pixelSize: 20 }
    Text {
        text: qsTr("The one you type at the lock screen. Tarvo uses it to open your keyring after it lets you in by face, so your saved passwords, tokens and keys keep working.")
        color: Colours.secondary; wrapMode: Text.WordWrap; Layout.fillWidth: true
    }
    SymbolLabel {
        visible: App.tpmProblem !== ""
        symbol: "dialog-warning-symbolic"
        text: App.tpmProblem
        color: Colours.orange
        Layout.fillWidth: true
    }
    TextField {
        id: field
        objectName: "sheetPasswordField"
        enabled: App.tpmProblem === ""
        echoMode: TextInput.Password
        placeholderText: qsTr("Password")
        Layout.fillWidth: true
        onAccepted: saving.save(field.text)
    }
    SymbolLabel {
        visible: saving.problem !== ""
        symbol: "dialog-warning-symbolic"
        text: saving.problem
        color: Colours.orange
        Layout.fillWidth: true
    }
    RowLayout {
        Layout.alignment: Qt.AlignRight
        Button { text: qsTr("Cancel"); onClicked: panel.done() }
        Button {
            objectName: "savePassword"
            text: qsTr("Save")
            highlighted: true
            enabled: field.text !== "" && !saving.busy
            onClicked: saving.save(field.text)
        }
    }
    PasswordSaving {
        id: saving
        onSaved: {
            field.text = ""
            panel.done()
        }
        onRefused: field.text = ""
    }
}
