pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The content of the team settings sheet: team info, invite card, members and danger zone. What
// shows for which role is the presenter's decision; this only lays it out.
Item {
    id: view
    objectName: "teamSettingsView"
    required property TeamSettingsPresenter presenter

    implicitWidth: 500
    implicitHeight: 640

    // Text colours of the sheet. Secondary lines are the palette's own text, softened; on a light
    // palette the theme's signal colours are deepened, as their own shades read below 4.5:1 on
    // the cards.
    readonly property color secondaryText: Qt.rgba(palette.windowText.r, palette.windowText.g,
                                                   palette.windowText.b, 0.65)
    function legible(colour) {
        return ThemeColors.dark ? colour : Qt.darker(colour, 1.3)
    }

    Connections {
        target: Qt.application
        function onStateChanged() {
            if (Qt.application.state === Qt.ApplicationActive)
                view.presenter.applicationBecameActive()
        }
    }

    // The entry of the role choices holding this role value, -1 when none does. Read from the
    // choices themselves, so the index follows them when they arrive or change.
    function roleIndex(role) {
        return presenter.roleChoices.findIndex(choice => choice.value === role)
    }

    component SectionTitle: Label {
        font.bold: true
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        visible: view.presenter.hasTeam

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 24
            Label {
                text: "Team Settings"
                font.bold: true
                font.pixelSize: 20
            }
            Item { Layout.fillWidth: true }
            ToolButton {
                objectName: "teamSettingsCloseButton"
                icon.name: SymbolIcons.iconName("xmark.circle.fill")
                Accessible.name: "Close"
                flat: true
                onClicked: view.presenter.dismiss()
            }
        }

        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            ScrollBar.vertical.policy: ScrollBar.AlwaysOn
            contentWidth: availableWidth

            ColumnLayout {
                width: scroll.availableWidth - 48
                x: 24
                spacing: 24

                // Team Info
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 12
                    SectionTitle { text: "Team Info" }
                    SettingsCard {
                        Layout.fillWidth: true
                        contentItem: GridLayout {
                            columns: 2
                            rowSpacing: 8
                            Label { text: "Name"; Layout.preferredWidth: 60 }
                            TextField {
                                objectName: "teamNameField"
                                Layout.fillWidth: true
                                placeholderText: "Team name"
                                placeholderTextColor: view.secondaryText
                                enabled: view.presenter.canManageMembers
                                text: view.presenter.teamName
                                onTextEdited: view.presenter.teamName = text
                            }
                            Label { text: "Icon"; Layout.preferredWidth: 60 }
                            TextField {
                                objectName: "teamEmojiField"
                                Layout.preferredWidth: 50
                                placeholderText: "Emoji"
                                placeholderTextColor: view.secondaryText
                                enabled: view.presenter.canManageMembers
                                text: view.presenter.teamEmoji
                                onTextEdited: view.presenter.teamEmoji = text
                            }
                            Label { text: "About"; Layout.preferredWidth: 60; Layout.alignment: Qt.AlignTop }
                            TextArea {
                                objectName: "teamDescriptionField"
                                Layout.fillWidth: true
                                Layout.maximumHeight: 3 * font.pixelSize * 1.4 + topPadding + bottomPadding
                                placeholderText: "Description"
                                placeholderTextColor: view.secondaryText
                                wrapMode: TextEdit.Wrap
                                enabled: view.presenter.canManageMembers
                                text: view.presenter.teamDescription
                                onTextChanged: if (text !== view.presenter.teamDescription) view.presenter.teamDescription = text
                            }
                            RowLayout {
                                Layout.columnSpan: 2
                                Layout.fillWidth: true
                                visible: view.presenter.canManageMembers
                                Label {
                                    objectName: "savedLabel"
                                    visible: view.presenter.showSaveSuccess
                                    text: "Saved!"
                                    color: view.legible(ThemeColors.success)
                                }
                                Label {
                                    visible: view.presenter.errorMessage !== ""
                                    text: view.presenter.errorMessage
                                    textFormat: Text.PlainText
                                    color: view.legible(ThemeColors.error)
                                    wrapMode: Text.Wrap
                                    Layout.fillWidth: true
                                    Layout.minimumWidth: 0
                                }
                                Item { Layout.fillWidth: true }
                                Button {
                                    objectName: "saveChangesButton"
                                    text: "Save Changes"
                                    highlighted: true
                                    enabled: view.presenter.canSave
                                    onClicked: view.presenter.save()
                                }
                            }
                        }
                    }
                }

                // Invite Member
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 12
                    visible: view.presenter.canManageMembers
                    SectionTitle { text: "Invite Member" }
                    SettingsCard {
                        Layout.fillWidth: true
                        contentItem: ColumnLayout {
                            spacing: 8
                            RowLayout {
                                TextField {
                                    objectName: "inviteEmailField"
                                    Layout.fillWidth: true
                                    placeholderText: "Email address"
                                    placeholderTextColor: view.secondaryText
                                    text: view.presenter.inviteEmail
                                    onTextEdited: view.presenter.inviteEmail = text
                                }
                                ComboBox {
                                    objectName: "inviteRolePicker"
                                    Layout.preferredWidth: 100
                                    Accessible.name: "Role"
                                    model: view.presenter.roleChoices
                                    textRole: "text"
                                    valueRole: "value"
                                    currentIndex: view.roleIndex(view.presenter.inviteRole)
                                    onActivated: view.presenter.inviteRole = currentValue
                                    // The style's arrow image outlives the view (its texture stays cached); a text arrow does not.
                                    indicator: Label {
                                        x: parent.width - width - 8
                                        anchors.verticalCenter: parent.verticalCenter
                                        text: "▾"
                                    }
                                }
                                Button {
                                    objectName: "inviteButton"
                                    text: "Invite"
                                    highlighted: true
                                    enabled: view.presenter.inviteEmail !== ""
                                    onClicked: view.presenter.invite()
                                }
                            }
                            RowLayout {
                                visible: view.presenter.invitationSent
                                Label {
                                    objectName: "invitationSentLabel"
                                    text: "Invitation sent!"
                                    color: view.legible(ThemeColors.success)
                                }
                                Item { Layout.fillWidth: true }
                                Button {
                                    objectName: "copyLinkButton"
                                    text: "Copy Link"
                                    onClicked: view.presenter.copyLink()
                                }
                            }
                            Label {
                                visible: view.presenter.errorMessage !== ""
                                text: view.presenter.errorMessage
                                textFormat: Text.PlainText
                                color: view.legible(ThemeColors.error)
                                wrapMode: Text.Wrap
                                Layout.fillWidth: true
                            }
                        }
                    }
                }

                // Members
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 12
                    SectionTitle {
                        objectName: "membersTitle"
                        text: view.presenter.membersTitle
                        textFormat: Text.PlainText
                    }
                    SettingsCard {
                        Layout.fillWidth: true
                        padding: 0
                        contentItem: ColumnLayout {
                            spacing: 0
                            Repeater {
                                model: view.presenter.members
                                delegate: ColumnLayout {
                                    id: memberRow
                                    required property var modelData
                                    required property int index
                                    Layout.fillWidth: true
                                    spacing: 0
                                    // A long name or e-mail is cut short, so that the role controls
                                    // stay in the window.
                                    RowLayout {
                                        objectName: "memberRow_" + memberRow.modelData.email
                                        Layout.fillWidth: true
                                        Layout.margins: 12
                                        Layout.topMargin: 8
                                        Layout.bottomMargin: 8
                                        SymbolImage { symbol: "person.crop.circle.fill"; size: 20; color: view.secondaryText }
                                        ColumnLayout {
                                            spacing: 1
                                            Layout.fillWidth: true
                                            Layout.minimumWidth: 0
                                            Label {
                                                objectName: "memberName_" + memberRow.modelData.email
                                                text: memberRow.modelData.displayName
                                                textFormat: Text.PlainText
                                                elide: Text.ElideRight
                                                Layout.fillWidth: true
                                                Layout.minimumWidth: 0
                                            }
                                            Label {
                                                text: memberRow.modelData.email
                                                textFormat: Text.PlainText
                                                elide: Text.ElideRight
                                                color: view.secondaryText
                                                Layout.fillWidth: true
                                                Layout.minimumWidth: 0
                                            }
                                        }
                                        ComboBox {
                                            objectName: "rolePicker_" + memberRow.modelData.email
                                            visible: memberRow.modelData.hasControls
                                            Layout.preferredWidth: 90
                                            model: view.presenter.roleChoices
                                            textRole: "text"
                                            valueRole: "value"
                                            currentIndex: view.roleIndex(memberRow.modelData.role)
                                            // The picker keeps no choice of its own: it shows the stored role
                                            // until the members come back with the new one, so a refused
                                            // change leaves the old role shown.
                                            onActivated: {
                                                view.presenter.changeRole(memberRow.modelData.userId, currentValue)
                                                currentIndex = Qt.binding(() => view.roleIndex(memberRow.modelData.role))
                                            }
                                            // The style's arrow image outlives the view (its texture stays cached); a text arrow does not.
                                            indicator: Label {
                                                x: parent.width - width - 8
                                                anchors.verticalCenter: parent.verticalCenter
                                                text: "▾"
                                            }
                                        }
                                        ToolButton {
                                            objectName: "removeMember_" + memberRow.modelData.email
                                            visible: memberRow.modelData.hasControls
                                            icon.name: SymbolIcons.iconName("minus.circle")
                                            icon.color: ThemeColors.error
                                            Accessible.name: "Remove"
                                            flat: true
                                            onClicked: view.presenter.removeMember(memberRow.modelData.userId)
                                        }
                                        Label {
                                            objectName: "roleBadge_" + memberRow.modelData.email
                                            visible: !memberRow.modelData.hasControls
                                            text: memberRow.modelData.badge
                                            textFormat: Text.PlainText
                                            color: view.secondaryText
                                            leftPadding: 8
                                            rightPadding: 8
                                            topPadding: 4
                                            bottomPadding: 4
                                            background: Rectangle {
                                                radius: height / 2
                                                color: Qt.rgba(view.secondaryText.r, view.secondaryText.g,
                                                               view.secondaryText.b, 0.1)
                                            }
                                        }
                                    }
                                    MenuSeparator {
                                        Layout.fillWidth: true
                                        Layout.leftMargin: 12
                                        Layout.rightMargin: 12
                                        visible: memberRow.index < view.presenter.members.length - 1
                                    }
                                }
                            }
                            MenuSeparator {
                                Layout.fillWidth: true
                                Layout.leftMargin: 12
                                Layout.rightMargin: 12
                                visible: view.presenter.invitations.length > 0
                            }
                            Repeater {
                                model: view.presenter.invitations
                                delegate: RowLayout {
                                    id: invitationRow
                                    required property var modelData
                                    objectName: "invitationRow_" + invitationRow.modelData.email
                                    Layout.fillWidth: true
                                    Layout.margins: 12
                                    Layout.topMargin: 8
                                    Layout.bottomMargin: 8
                                    SymbolImage { symbol: "envelope.badge.fill"; size: 20; color: view.secondaryText }
                                    ColumnLayout {
                                        spacing: 1
                                        Layout.fillWidth: true
                                        Layout.minimumWidth: 0
                                        Label {
                                            text: invitationRow.modelData.email
                                            textFormat: Text.PlainText
                                            elide: Text.ElideRight
                                            Layout.fillWidth: true
                                            Layout.minimumWidth: 0
                                        }
                                        Label { text: "Pending"; color: view.legible(ThemeColors.warning) }
                                    }
                                    Label {
                                        text: invitationRow.modelData.role
                                        textFormat: Text.PlainText
                                        elide: Text.ElideRight
                                        color: view.secondaryText
                                        Layout.maximumWidth: 120
                                    }
                                }
                            }
                        }
                    }
                }

                // Danger Zone
                ColumnLayout {
                    Layout.fillWidth: true
                    Layout.bottomMargin: 24
                    spacing: 12
                    SectionTitle { text: "Danger Zone" }
                    Control {
                        Layout.fillWidth: true
                        padding: 12
                        background: Rectangle {
                            radius: 10
                            color: Qt.rgba(ThemeColors.error.r, ThemeColors.error.g, ThemeColors.error.b, 0.05)
                            border.width: 1
                            border.color: Qt.rgba(ThemeColors.error.r, ThemeColors.error.g, ThemeColors.error.b, 0.15)
                        }
                        contentItem: RowLayout {
                            Button {
                                objectName: view.presenter.isOwner ? "deleteTeamButton" : "leaveTeamButton"
                                text: view.presenter.isOwner ? "Delete Team" : "Leave Team"
                                icon.name: SymbolIcons.iconName(view.presenter.isOwner
                                                                ? "trash" : "rectangle.portrait.and.arrow.forward")
                                icon.color: ThemeColors.error
                                onClicked: view.presenter.isOwner ? deleteAlert.open() : leaveAlert.open()
                            }
                            Item { Layout.fillWidth: true }
                        }
                    }
                }
            }
        }
    }

    component ConfirmAlert: AppDialog {
        id: alert
        property string message
        property string confirmText
        signal confirmed()
        anchors.centerIn: parent
        modal: true
        Label {
            text: alert.message
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            width: 360
        }
        footer: AppDialogButtons {
            Button {
                text: "Cancel"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            Button {
                objectName: alert.objectName + "Confirm"
                text: alert.confirmText
                DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
                onClicked: {
                    alert.close()
                    alert.confirmed()
                }
            }
        }
    }

    ConfirmAlert {
        id: deleteAlert
        objectName: "deleteAlert"
        title: "Delete Team?"
        message: "This will permanently delete the team and all shared snippets. This cannot be undone."
        confirmText: "Delete"
        onConfirmed: view.presenter.deleteTeam()
    }

    ConfirmAlert {
        id: leaveAlert
        objectName: "leaveAlert"
        title: "Leave Team?"
        message: "You will lose access to all shared snippets. Your personal snippets are unaffected."
        confirmText: "Leave"
        onConfirmed: view.presenter.leaveTeam()
    }
}
