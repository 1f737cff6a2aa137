import QtQuick
import QtQuick.Layouts
import Tarvo

// A titled card of the main window.
ColumnLayout {
    id: card
    property string title
    default property alias content: body.data
    spacing: 10
    Layout.fillWidth: true
    Text {
        text: card.title
        font.pixelSize: 11
        font.weight: Font.DemiBold
        color: Colours.secondary
    }
    Rectangle {
        Layout.fillWidth: true
        implicitHeight: body.implicitHeight + 32
        radius: 12
        color: Colours.card
        ColumnLayout {
            id: body
            x: 16
            y: 16
            width: parent.width - 32
            spacing: 12
        }
    }
}
