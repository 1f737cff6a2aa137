import QtQuick
import Tarvo

// Saving the login password through the model: checked, then sealed.
// `problem` says why the last try failed; `saved` follows a success and
// `refused` a failure, after which the field is emptied for the next try.
QtObject {
    id: saving
    property string problem: ""
    property bool busy: false
    signal saved()
    signal refused()

    function save(text) {
        if (text === "" || busy) return
        busy = true
        App.savePassword(text)
    }

    property Connections finished: Connections {
        target: App
        function onPasswordSaveFinished(message) {
            if (!saving.busy) return
            saving.problem = message
            saving.busy = false
            if (message === "") saving.saved()
            else saving.refused()
        }
    }
}
