import QtQuick
import QtQuick.Controls
import Tarvo

// The live picture, mirrored, in a coloured frame: `highlight` when set,
// else green while a face is seen.
Item {
    id: preview
    property CameraFeed feed
    property color highlight: "transparent"
    implicitWidth: 400
    implicitHeight: 225

    Rectangle {
        anchors.fill: parent
        radius: 14
        color: Qt.rgba(0, 0, 0, 0.85)
        visible: !picture.hasImage
        SymbolLabel {
            anchors.centerIn: parent
            visible: preview.feed && preview.feed.error !== ""
            symbol: "camera-disabled-symbolic"
            text: preview.feed ? preview.feed.error : ""
            color: "white"
            width: parent.width - 40
        }
        BusyIndicator {
            anchors.centerIn: parent
            // Spins only while shown: a stopped indicator still turns.
            running: parent.visible && (!preview.feed || preview.feed.error === "")
            visible: running
            palette.dark: "white"
        }
    }
    CameraView {
        id: picture
        objectName: "cameraPicture"
        anchors.fill: parent
        feed: preview.feed
    }
    Rectangle {
        anchors.fill: parent
        radius: 14
        color: "transparent"
        border.width: 2
        border.color: preview.highlight.a > 0 ? preview.highlight
                    : (preview.feed && preview.feed.faceVisible ? Colours.green : Qt.rgba(0.5, 0.5, 0.5, 0.3))
    }
}
