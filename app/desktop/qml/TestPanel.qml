import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tarvo

// The recognition test, run as soon as the panel shows.
ColumnLayout {
    id: panel
    spacing: 18

    TestModel { id: test; objectName: "testModel" }

    CameraPreview {
        Layout.alignment: Qt.AlignHCenter
        feed: test.feed
        highlight: test.phase === TestModel.Matched ? Colours.green : "transparent"
    }
    Item {
        Layout.fillWidth: true
        Layout.minimumHeight: 28
        Text {
            objectName: "testDetail"
            anchors.centerIn: parent
            visible: test.phase === TestModel.Looking
            text: test.detail
            color: Colours.secondary
        }
        SymbolLabel {
            objectName: "testVerdict"
            anchors.centerIn: parent
            visible: test.phase !== TestModel.Looking
            symbol: test.phase === TestModel.Matched ? "object-select-symbolic" : "process-stop-symbolic"
            text: test.phase === TestModel.Matched ? qsTr("Recognized") : qsTr("Not recognized")
            color: test.phase === TestModel.Matched ? Colours.green : Colours.orange
            bold: true
            size: 15
        }
    }
    Button {
        Layout.alignment: Qt.AlignHCenter
        visible: test.phase !== TestModel.Looking
        text: qsTr("Test Again")
        onClicked: test.run()
    }
    Component.onCompleted: {
        test.feed.start()
        test.run()
    }
    Component.onDestruction: test.stop()
}
