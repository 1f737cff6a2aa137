import QtQuick
import QtQuick.Layouts

// A prerequisite: a green tick and `text` when `ok`, else an orange
// warning and `problem`; its buttons on the right.
RowLayout {
    property bool ok
    property string text
    property string problem
    default property alias trailing: buttons.data
    spacing: 8
    Layout.fillWidth: true
    Symbol {
        name: parent.ok ? "emblem-ok-symbolic" : "dialog-warning-symbolic"
        color: parent.ok ? colours.green : colours.orange
    }
    Text {
        text: parent.ok ? parent.text : parent.problem
        color: colours.text
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }
    RowLayout { id: buttons; spacing: 6 }
}
