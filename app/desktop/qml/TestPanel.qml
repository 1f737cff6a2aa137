import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// The recognition test, run as soon as the panel shows.
ColumnLayout {
    id: panel
    // The model's phases, in its order.
    readonly property int looking: 0
    readonly property int matched: 1
    readonly property int timedOut: 2
    spacing: 18

    TestModel { id: test; objectName: "testModel" }

    CameraPreview {
        Layout.alignment: Qt.AlignHCenter
        feed: test.feed
        highlight: test.phase === panel.matched ? colours.green : "transparent"
    }
    Item {
        Layout.fillWidth: true
        Layout.minimumHeight: 28
        Text {
            objectName: "testDetail"
            anchors.centerIn: parent
            visible: test.phase === panel.looking
            text: test.detail
            color: colours.secondary
        }
        Label2 {
            objectName: "testVerdict"
            anchors.centerIn: parent
            visible: test.phase !== panel.looking
            symbol: test.phase === panel.matched ? "object-select-symbolic" : "process-stop-symbolic"
            text: test.phase === panel.matched ? qsTr("Recognized") : qsTr("Not recognized")
            color: test.phase === panel.matched ? colours.green : colours.orange
            bold: true
            size: 15
        }
    }
    Button {
        Layout.alignment: Qt.AlignHCenter
        visible: test.phase !== panel.looking
        text: qsTr("Test Again")
        onClicked: test.run()
    }
    Component.onCompleted: {
        test.feed.start()
        test.run()
    }
    Component.onDestruction: test.stop()
}
