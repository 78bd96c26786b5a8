import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
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

    // The update command's model: canCheckForUpdates, checkForUpdates(), message, downloadAddress,
    // dismissMessage().
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
                id: quitMenuItem
                objectName: "quitMenuItem"
                action: quitAction
                // The style's item shows no shortcut: the label, and the shortcut at the far end.
                contentItem: Row {
                    spacing: 24
                    Label {
                        width: Math.max(implicitWidth, quitMenuItem.availableWidth - quitShortcut.implicitWidth - 24)
                        text: quitMenuItem.text
                        textFormat: Text.PlainText
                        color: quitMenuItem.highlighted ? quitMenuItem.palette.highlightedText
                                                        : quitMenuItem.palette.windowText
                    }
                    Label {
                        id: quitShortcut
                        objectName: "quitShortcut"
                        text: quitAction.shortcut
                        textFormat: Text.PlainText
                        opacity: 0.7
                        color: quitMenuItem.highlighted ? quitMenuItem.palette.highlightedText
                                                        : quitMenuItem.palette.windowText
                    }
                }
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

    // Both dialogs are as wide as the application's other dialogs, with their text in the content
    // item: the dialog's padding around it, and a width that does not follow the text.
    AppDialog {
        id: aboutDialog
        objectName: "aboutDialog"
        title: "Sablix"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        width: 360
        standardButtons: Dialog.Ok
        // Return presses its one button.
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: aboutDialog.visible
            onActivated: aboutDialog.accept()
        }
        contentItem: Label {
            objectName: "aboutVersion"
            text: "Version " + window.appVersion
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
        }
    }

    // What a check the user asked for found, when that is no newer release or a release no browser
    // could be opened for.
    AppDialog {
        id: updateCheckDialog
        objectName: "updateCheckDialog"
        title: "Software Update"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        width: 360
        standardButtons: Dialog.Ok
        onClosed: window.updates.dismissMessage()
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: updateCheckDialog.visible
            onActivated: updateCheckDialog.accept()
        }
        contentItem: ColumnLayout {
            spacing: 8
            Label {
                objectName: "updateCheckMessage"
                text: window.updates.message
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            // No browser opened the download: its address, to be opened by hand.
            RowLayout {
                visible: window.updates.downloadAddress.length > 0
                spacing: 6
                Layout.fillWidth: true
                TextField {
                    id: downloadAddress
                    objectName: "downloadAddress"
                    text: window.updates.downloadAddress
                    readOnly: true
                    selectByMouse: true
                    // Its start in view, where the address says where it leads.
                    onTextChanged: cursorPosition = 0
                    font.family: "monospace"
                    font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    Layout.fillWidth: true
                }
                Button {
                    objectName: "copyDownloadAddressButton"
                    text: "Copy"
                    onClicked: {
                        downloadAddress.selectAll()
                        downloadAddress.copy()
                        downloadAddress.deselect()
                    }
                }
            }
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
