import QtQuick
import QtQuick.Layouts

// An onboarding page: its content centred, its button row at the bottom.
ColumnLayout {
    default property alias content: body.data
    property alias buttons: row.data
    spacing: 20
    Item { Layout.fillHeight: true }
    ColumnLayout {
        id: body
        spacing: 14
        Layout.alignment: Qt.AlignHCenter
        Layout.fillWidth: true
    }
    Item { Layout.fillHeight: true }
    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 44
        Row {
            id: row
            anchors.centerIn: parent
        }
    }
}
