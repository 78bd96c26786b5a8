import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The feedback form: an optional reply address, the message, and Send with what became of the
// last sending.
SettingsSection {
    id: feedback
    objectName: "feedbackSection"
    required property FeedbackPresenter form

    title: "Feedback"

    SettingsCard {
        Layout.fillWidth: true
        contentItem: ColumnLayout {
            spacing: 12

            TextField {
                id: emailField
                objectName: "feedbackEmailField"
                placeholderText: "Your email (optional, for replies)"
                text: feedback.form.feedbackEmail
                padding: 8
                Layout.fillWidth: true
                onTextEdited: feedback.form.feedbackEmail = text
                background: Rectangle {
                    radius: 6
                    color: Qt.rgba(emailField.palette.text.r, emailField.palette.text.g, emailField.palette.text.b,
                                   0.04)
                    border.width: 1
                    border.color: Qt.rgba(emailField.palette.text.r, emailField.palette.text.g,
                                          emailField.palette.text.b, 0.08)
                }
            }

            ScrollView {
                id: messageScroll
                Layout.fillWidth: true
                Layout.preferredHeight: 80
                TextArea {
                    id: messageArea
                    objectName: "feedbackMessageArea"
                    text: feedback.form.feedbackMessage
                    wrapMode: TextEdit.Wrap
                    padding: 4
                    onTextChanged: if (text !== feedback.form.feedbackMessage) feedback.form.feedbackMessage = text
                    background: Rectangle {
                        radius: 6
                        color: Qt.rgba(messageArea.palette.text.r, messageArea.palette.text.g,
                                       messageArea.palette.text.b, 0.04)
                        border.width: 1
                        border.color: Qt.rgba(messageArea.palette.text.r, messageArea.palette.text.g,
                                              messageArea.palette.text.b, 0.08)
                    }
                }
            }

            RowLayout {
                Layout.fillWidth: true

                RowLayout {
                    objectName: "feedbackSentLabel"
                    visible: feedback.form.feedbackSent
                    spacing: 4
                    SymbolImage {
                        symbol: "checkmark.circle.fill"
                        size: 12
                        color: ThemeColors.success
                    }
                    Label {
                        objectName: "feedbackSentText"
                        text: "Sent! Thank you for your feedback."
                        textFormat: Text.PlainText
                        color: ThemeColors.success
                        font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    }
                }
                Label {
                    objectName: "feedbackError"
                    visible: !feedback.form.feedbackSent && feedback.form.feedbackError.length > 0
                    text: feedback.form.feedbackError
                    textFormat: Text.PlainText
                    color: ThemeColors.error
                    wrapMode: Text.Wrap
                    font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    Layout.fillWidth: true
                }
                Item {
                    visible: feedback.form.feedbackError.length === 0 || feedback.form.feedbackSent
                    Layout.fillWidth: true
                }
                Button {
                    id: sendButton
                    objectName: "feedbackSendButton"
                    text: "Send"
                    icon.name: SymbolIcons.iconName("paperplane.fill")
                    highlighted: true
                    enabled: feedback.form.canSend
                    onClicked: feedback.form.sendFeedback()

                    // While it sends, a spinner stands in for the label.
                    Binding {
                        target: sendButton.contentItem
                        property: "opacity"
                        value: feedback.form.feedbackSending ? 0 : 1
                    }
                    BusyIndicator {
                        objectName: "feedbackSpinner"
                        anchors.centerIn: parent
                        width: parent.height - 8
                        height: width
                        visible: feedback.form.feedbackSending
                        running: visible
                    }
                }
            }
        }
    }
}
