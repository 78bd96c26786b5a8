pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The "Snippet Source" control at the top of the tag column: the personal library or one of the
// user's teams, the invitations addressed to the user, "Create Team..." for a user who owns no
// team, and the sync badge while a team is the source. Takes no space while it has nothing to offer.
ColumnLayout {
    id: selector
    objectName: "teamSelector"

    required property TeamSelectorPresenter presenter

    visible: presenter.shouldShow
    spacing: 6

    component MenuRow: ItemDelegate {
        id: entry
        property string symbol
        property bool checkedMark: false
        Layout.fillWidth: true
        padding: 4
        contentItem: RowLayout {
            spacing: 6
            SymbolImage { symbol: entry.symbol; color: entry.palette.windowText }
            Label { Layout.fillWidth: true; text: entry.text; textFormat: Text.PlainText; elide: Text.ElideRight }
            SymbolImage { visible: entry.checkedMark; symbol: "checkmark"; color: entry.palette.windowText }
        }
    }
    component SectionTitle: Label {
        Layout.topMargin: 4
        font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
        opacity: 0.6
    }

    RowLayout {
        Layout.fillWidth: true
        spacing: 4
        // The caption gives way to the badge in a narrow column: at a fixed width it would push
        // the row past the column. It grows no wider than its text (rounded up, as the layout
        // rounds sizes to whole pixels), so the help button stays beside it.
        Label {
            Layout.fillWidth: true
            Layout.maximumWidth: Math.ceil(implicitWidth)
            text: "Snippet Source".toUpperCase()
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
            color: selector.palette.placeholderText
        }
        HelpPopoverButton {
            objectName: "snippetSourceHelpButton"
            // Not declared inline: this file's components are bound to it, and the button makes
            // its panel in a context of its own.
            helpContent: Qt.createComponent("SnippetSourceHelpView.qml")
        }
        Item { Layout.fillWidth: true }
        SyncStatusView {
            visible: !selector.presenter.isPersonalMode && text !== ""
            state: selector.presenter.syncState
        }
    }

    Button {
        id: sourceButton
        objectName: "snippetSourceButton"
        Layout.fillWidth: true
        flat: true
        leftPadding: 8
        rightPadding: 8
        topPadding: 6
        bottomPadding: 6
        onClicked: sourceMenu.opened ? sourceMenu.close() : sourceMenu.open()
        background: Rectangle {
            radius: 6
            color: ThemeColors.secondary
            border.width: 1
            border.color: Qt.rgba(sourceButton.palette.windowText.r, sourceButton.palette.windowText.g,
                                  sourceButton.palette.windowText.b, 0.08)
            Rectangle {
                objectName: "pendingInvitationDot"
                visible: selector.presenter.hasPendingInvitations
                width: 8
                height: 8
                radius: 4
                color: "red"
                x: parent.width - width / 2 + 2
                y: -height / 2 - 2
            }
        }
        contentItem: RowLayout {
            spacing: 6
            SymbolImage {
                symbol: selector.presenter.isPersonalMode ? "person.fill" : "person.2.fill"
                color: sourceButton.palette.placeholderText
            }
            Label {
                objectName: "snippetSourceName"
                Layout.fillWidth: true
                text: selector.presenter.sourceName
                textFormat: Text.PlainText
                elide: Text.ElideRight
                maximumLineCount: 1
            }
            SymbolImage { symbol: "chevron.up.chevron.down"; size: 10; color: sourceButton.palette.placeholderText }
        }

        Popup {
            id: sourceMenu
            objectName: "snippetSourceMenu"
            y: sourceButton.height
            width: Math.max(sourceButton.width, 220)
            padding: 4
            // A press on the button must reach it, so that it can close the menu it opened.
            closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
            contentItem: ColumnLayout {
                spacing: 2
                MenuRow {
                    objectName: "sourcePersonal"
                    text: "Personal Snippets"
                    symbol: "person.fill"
                    checkedMark: selector.presenter.isPersonalMode
                    onClicked: { sourceMenu.close(); selector.presenter.selectPersonal() }
                }
                MenuSeparator { Layout.fillWidth: true; visible: selector.presenter.teams.length > 0 }
                SectionTitle { text: "Teams"; visible: selector.presenter.teams.length > 0 }
                Repeater {
                    model: selector.presenter.teams
                    MenuRow {
                        required property var modelData
                        objectName: "sourceTeam:" + modelData.name
                        text: modelData.name
                        symbol: "person.2.fill"
                        checkedMark: modelData.selected
                        onClicked: { sourceMenu.close(); selector.presenter.selectTeam(modelData.id) }
                    }
                }
                MenuSeparator { Layout.fillWidth: true; visible: selector.presenter.invitations.length > 0 }
                SectionTitle { text: "Pending Invitations"; visible: selector.presenter.invitations.length > 0 }
                Repeater {
                    model: selector.presenter.invitations
                    ColumnLayout {
                        id: invitation
                        required property var modelData
                        Layout.fillWidth: true
                        spacing: 0
                        MenuRow { text: invitation.modelData.title; symbol: "person.2.fill"; enabled: false }
                        RowLayout {
                            Layout.leftMargin: 22
                            MenuRow {
                                objectName: "acceptInvitation:" + invitation.modelData.id
                                text: "Accept"
                                symbol: "checkmark.circle"
                                onClicked: { sourceMenu.close(); selector.presenter.accept(invitation.modelData.token) }
                            }
                            MenuRow {
                                objectName: "declineInvitation:" + invitation.modelData.id
                                text: "Decline"
                                symbol: "xmark.circle"
                                palette.windowText: ThemeColors.error
                                onClicked: { sourceMenu.close(); selector.presenter.decline(invitation.modelData.id) }
                            }
                        }
                    }
                }
                MenuSeparator { Layout.fillWidth: true; visible: !selector.presenter.ownsATeam }
                MenuRow {
                    objectName: "createTeamEntry"
                    visible: !selector.presenter.ownsATeam
                    text: "Create Team..."
                    symbol: "plus"
                    onClicked: { sourceMenu.close(); createDialog.open() }
                }
            }
        }
    }

    AppDialog {
        id: createDialog
        objectName: "createTeamDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        title: "Create Team"
        contentItem: ColumnLayout {
            Label { text: "Enter a name for your new team." }
            TextField { id: nameField; objectName: "newTeamName"; placeholderText: "Team name"; Layout.fillWidth: true }
        }
        footer: AppDialogButtons {
            Button {
                objectName: "createTeamButton"
                text: "Create"
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
            Button { text: "Cancel"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
        }
        onAccepted: {
            selector.presenter.createTeam(nameField.text)
            nameField.text = ""
        }
        onRejected: nameField.text = ""
    }
}
