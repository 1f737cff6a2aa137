import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Saving or changing the login password, checked before it is sealed.
ColumnLayout {
    id: panel
    objectName: "passwordPanel"
    signal done()
    property string problem: ""
    property bool saving: false
    spacing: 14
    width: 400

    Title { text: qsTr("Your Login Password"); font.pixelSize: 20 }
    Text {
        text: qsTr("The one you type at the lock screen. Tarvo uses it to open your keyring after it lets you in by face, so your saved passwords, tokens and keys keep working.")
        color: colours.secondary; wrapMode: Text.WordWrap; Layout.fillWidth: true
    }
    TextField {
        id: field
        objectName: "sheetPasswordField"
        echoMode: TextInput.Password
        placeholderText: qsTr("Password")
        Layout.fillWidth: true
        onAccepted: panel.save()
    }
    Label2 {
        visible: panel.problem !== ""
        symbol: "dialog-warning-symbolic"
        text: panel.problem
        color: colours.orange
        Layout.fillWidth: true
    }
    RowLayout {
        Layout.alignment: Qt.AlignRight
        Button { text: qsTr("Cancel"); onClicked: panel.done() }
        Button {
            objectName: "savePassword"
            text: qsTr("Save")
            highlighted: true
            enabled: field.text !== "" && !panel.saving
            onClicked: panel.save()
        }
    }
    function save() {
        if (field.text === "" || saving) return
        saving = true
        model.savePassword(field.text)
    }
    Connections {
        target: model
        function onPasswordSaveFinished(message) {
            if (!panel.saving) return
            panel.problem = message
            panel.saving = false
            if (message === "") {
                field.text = ""
                panel.done()
            }
        }
    }
}
