import QtQuick
import QtQuick.Controls
import Tarvo

// The one window: setup until it is done, then the main view.
ApplicationWindow {
    id: window
    objectName: "mainWindow"
    title: "Tarvo"
    width: 520
    height: 640
    minimumWidth: 520
    minimumHeight: 600
    visible: false
    color: Colours.window
    // Kept in the app's settings, not published: read again on every change.
    property bool onboardingFinished: false
    Component.onCompleted: onboardingFinished = App.onboardingFinished

    Connections {
        target: App
        function onDerivedChanged() { window.onboardingFinished = App.onboardingFinished }
    }
    Loader {
        anchors.fill: parent
        anchors.margins: window.onboardingFinished ? 0 : 36
        sourceComponent: window.onboardingFinished ? homeView : onboardingView
    }
    Component { id: onboardingView; Onboarding {} }
    Component { id: homeView; Home {} }
}
