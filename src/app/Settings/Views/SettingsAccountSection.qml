import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The account: the signed-in user with Sign Out and, while the user owns no team, the way to
// create one; otherwise the invitation to sign in, with the last sign-in error below it.
SettingsSection {
    id: account
    objectName: "accountSection"
    required property SettingsPresenter presenter
    readonly property AuthManager auth: presenter.authManager
    readonly property bool signedIn: auth.isAuthenticated && auth.currentUser.email !== undefined

    title: "Account"

    SettingsCard {
        objectName: "userCard"
        visible: account.signedIn
        Layout.fillWidth: true
        // The name and e-mail come from the account: long ones are cut short, so that Sign Out
        // stays in the window.
        contentItem: RowLayout {
            RowLayout {
                spacing: 8
                Layout.fillWidth: true
                Layout.minimumWidth: 0
                SymbolImage {
                    symbol: "person.crop.circle.fill"
                    size: 28
                    color: account.palette.highlight
                }
                ColumnLayout {
                    spacing: 2
                    Layout.fillWidth: true
                    Layout.minimumWidth: 0
                    Label {
                        objectName: "userDisplayName"
                        text: account.auth.currentUser.displayName ?? ""
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        font.weight: Font.Medium
                        Layout.fillWidth: true
                        Layout.minimumWidth: 0
                    }
                    Label {
                        objectName: "userEmail"
                        text: account.auth.currentUser.email ?? ""
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        opacity: 0.65
                        font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                        Layout.fillWidth: true
                        Layout.minimumWidth: 0
                    }
                }
            }
            Button {
                objectName: "signOutButton"
                text: "Sign Out"
                onClicked: account.auth.signOut()
            }
        }
    }

    ItemDelegate {
        id: createTeamRow
        objectName: "createTeamRow"
        visible: account.signedIn && account.presenter.showsCreateTeam
        padding: 12
        Layout.fillWidth: true
        contentItem: RowLayout {
            spacing: 8
            SymbolImage { symbol: "person.2.fill" }
            Label {
                text: "Create a Team"
                textFormat: Text.PlainText
            }
            Item { Layout.fillWidth: true }
            SymbolImage {
                symbol: "chevron.right"
                size: 10
                opacity: 0.4
            }
        }
        background: Rectangle {
            radius: 10
            color: ThemeColors.secondary
            border.width: 1
            border.color: Qt.rgba(createTeamRow.palette.windowText.r, createTeamRow.palette.windowText.g,
                                  createTeamRow.palette.windowText.b, 0.06)
        }
        onClicked: createTeamDialog.open()
    }

    SettingsCard {
        objectName: "signInCard"
        visible: !account.signedIn
        Layout.fillWidth: true
        contentItem: ColumnLayout {
            spacing: 12
            SettingsRowLabel {
                symbol: "person.crop.circle.badge.plus"
                title: "Create a free account"
                subtitle: "Share snippets across your team"
                Layout.fillWidth: true
            }
            Button {
                objectName: "signInButton"
                text: "Sign in with Google"
                icon.name: SymbolIcons.iconName("globe")
                highlighted: true
                enabled: !account.auth.isLoading
                Layout.fillWidth: true
                onClicked: account.auth.signInWithGoogle()
            }
            Label {
                objectName: "signInError"
                visible: account.auth.errorMessage.length > 0
                text: account.auth.errorMessage
                textFormat: Text.PlainText
                color: ThemeColors.error
                wrapMode: Text.Wrap
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                Layout.fillWidth: true
            }
            // No browser opened the sign-in page: its address, to be opened by hand.
            RowLayout {
                visible: account.auth.signInAddress.length > 0
                spacing: 6
                Layout.fillWidth: true
                TextField {
                    id: signInAddress
                    objectName: "signInAddress"
                    text: account.auth.signInAddress
                    readOnly: true
                    selectByMouse: true
                    // Its start in view, where the address says where it leads.
                    onTextChanged: cursorPosition = 0
                    font.family: "monospace"
                    font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    Layout.fillWidth: true
                }
                Button {
                    objectName: "copySignInAddressButton"
                    text: "Copy"
                    onClicked: {
                        signInAddress.selectAll()
                        signInAddress.copy()
                        signInAddress.deselect()
                        account.auth.signInByHand()
                    }
                }
            }
        }
    }

    AppDialog {
        id: createTeamDialog
        objectName: "createTeamDialog"
        title: "Create Team"
        modal: true
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: 320

        // Creating and cancelling both leave the field empty for the next time.
        function finish(create) {
            if (create)
                account.presenter.createTeam(teamName.text)
            teamName.text = ""
            close()
        }

        contentItem: ColumnLayout {
            spacing: 8
            Label {
                text: "Enter a name for your new team."
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            TextField {
                id: teamName
                objectName: "teamNameField"
                placeholderText: "Team name"
                Layout.fillWidth: true
            }
        }
        footer: AppDialogButtons {
            Button {
                objectName: "createTeamButton"
                text: "Create"
                onClicked: createTeamDialog.finish(true)
            }
            Button {
                objectName: "cancelCreateTeamButton"
                text: "Cancel"
                onClicked: createTeamDialog.finish(false)
            }
        }
    }
}
