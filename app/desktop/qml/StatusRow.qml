import QtQuick
import QtQuick.Layouts
import Tarvo

// A prerequisite: a green tick and `text` when `ok`, else an orange
// warning and `problem`; its buttons on the right.
Item {
    id: row
    property bool ok
    property string text
    property string problem
    default property alias trailing: buttons.data
    Layout.fillWidth: true
    implicitHeight: Math.max(label.implicitHeight, buttons.implicitHeight, 20)

    Symbol {
        id: symbol
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        name: row.ok ? "object-select-symbolic" : "dialog-warning-symbolic"
        color: row.ok ? Colours.green : Colours.orange
    }
    Text {
        id: label
        anchors.left: symbol.right
        anchors.leftMargin: 8
        anchors.right: buttons.left
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        text: row.ok ? row.text : row.problem
        color: Colours.text
        wrapMode: Text.WordWrap
    }
    Row {
        id: buttons
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        spacing: 6
    }
}
