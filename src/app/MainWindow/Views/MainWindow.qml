import QtQuick
import QtQuick.Controls
import Sablix

// The application's one main window. Its content fills the space below the menu bar; the menu
// commands are forwarded to whoever shows the window.
ApplicationWindow {
    id: window
    objectName: "main"
    title: "Sablix"

    // Small enough for the content at its smallest, and never smaller: every control stays inside.
    minimumWidth: content.minimumWidth
    minimumHeight: (menuBar ? menuBar.implicitHeight : 0) + content.minimumHeight
    width: 900
    height: 600

    // The update command's model: canCheckForUpdates, checkForUpdates(), message, dismissMessage().
    required property QtObject updates
    required property string appVersion
    // The content's models and state (see ContentView).
    required property MiddlePanelModel middlePanelModel
    required property RightPanelModel rightPanelModel
    required property TagSidebarModel tagSidebarModel
    required property MainWindowState windowState
    required property UpdateNotice updateNotice
    required property SnippetDetailPresenter detailPresenter
    required property SettingsPresenter settings
    required property ReferralsSettingsSectionPresenter referralsSection
    required property TeamSelectorPresenter teamSelector
    required property TeamSettingsPresenter teamSettings

    menuBar: MenuBar {
        Menu {
            title: "Sablix"
            MenuItem {
                objectName: "aboutMenuItem"
                text: "About Sablix"
                onTriggered: aboutDialog.open()
            }
            MenuItem {
                objectName: "checkForUpdatesMenuItem"
                text: window.updates.title
                enabled: window.updates.canCheckForUpdates
                onTriggered: window.updates.checkForUpdates()
            }
            MenuSeparator {}
            MenuItem {
                objectName: "quitMenuItem"
                action: quitAction
            }
        }
    }

    // Ends the event loop, as a termination signal does, so the same shutdown steps run.
    Action {
        id: quitAction
        text: "Quit Sablix"
        shortcut: "Ctrl+Q"
        onTriggered: Qt.quit()
    }

    Dialog {
        id: aboutDialog
        objectName: "aboutDialog"
        title: "Sablix"
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok
        Label {
            objectName: "aboutVersion"
            text: "Version " + window.appVersion
        }
    }

    // What a check the user asked for found, when that is no newer release.
    Dialog {
        id: updateCheckDialog
        objectName: "updateCheckDialog"
        title: "Software Update"
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok
        onClosed: window.updates.dismissMessage()
        Label {
            objectName: "updateCheckMessage"
            text: window.updates.message
            textFormat: Text.PlainText
        }
        Connections {
            target: window.updates
            function onMessageChanged() {
                if (window.updates.message !== "")
                    updateCheckDialog.open()
            }
        }
    }

    // The settings sheet, made anew at each opening. It hides and shows again with the window.
    Loader {
        active: window.windowState.showingSettings
        sourceComponent: SettingsWindow {
            transientParent: window
            presenter: window.settings
            referralsSection: window.referralsSection
            visible: window.visible
        }
    }

    // The team settings sheet, made anew at each opening, like the settings sheet.
    Loader {
        active: window.teamSettings.showing
        sourceComponent: TeamSettingsWindow {
            transientParent: window
            presenter: window.teamSettings
            visible: window.visible
        }
    }

    ContentView {
        id: content
        objectName: "mainContent"
        anchors.fill: parent
        middlePanelModel: window.middlePanelModel
        rightPanelModel: window.rightPanelModel
        tagSidebarModel: window.tagSidebarModel
        windowState: window.windowState
        updateNotice: window.updateNotice
        detailPresenter: window.detailPresenter
        teamSelector: window.teamSelector
        teamSettings: window.teamSettings
    }
}
