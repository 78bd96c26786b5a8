import QtQuick
import QtQuick.Controls
import Sablix

// The application's one main window. Its content fills the space below the menu bar; the menu
// commands are forwarded to whoever shows the window.
ApplicationWindow {
    id: window
    objectName: "main"
    title: "Sablix"

    minimumWidth: 750
    minimumHeight: 500
    width: 900
    height: 600

    property bool canCheckForUpdates: true

    signal aboutRequested
    signal checkForUpdatesRequested

    menuBar: MenuBar {
        Menu {
            title: "Sablix"
            MenuItem {
                objectName: "aboutMenuItem"
                text: "About Sablix"
                onTriggered: window.aboutRequested()
            }
            MenuItem {
                objectName: "checkForUpdatesMenuItem"
                text: "Check for Updates…"
                enabled: window.canCheckForUpdates
                onTriggered: window.checkForUpdatesRequested()
            }
        }
    }

    Item {
        id: content
        objectName: "mainContent"
        anchors.fill: parent
    }
}
