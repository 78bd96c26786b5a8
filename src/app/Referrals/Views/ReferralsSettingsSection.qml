import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The referrals part of the settings sheet: the user's own code with its copy buttons, the
// counters, and a field to apply a friend's code. Everything shown comes from the presenter; the
// section loads the information each time it is shown.
ColumnLayout {
    id: section
    objectName: "referralsSection"
    spacing: 16

    required property ReferralsSettingsSectionPresenter presenter

    readonly property color secondaryText: Qt.rgba(palette.windowText.r, palette.windowText.g,
                                                   palette.windowText.b, 0.6)
    readonly property real captionSize: Math.max(1, Qt.application.font.pointSize - 2)
    function accent(opacity) {
        return Qt.rgba(palette.highlight.r, palette.highlight.g, palette.highlight.b, opacity)
    }

    Component.onCompleted: if (visible) presenter.load()
    onVisibleChanged: if (visible) presenter.load()

    Label {
        text: "Referrals"
        font.pointSize: Qt.application.font.pointSize + 1
        font.weight: Font.DemiBold
    }

    Rectangle {
        id: card
        Layout.fillWidth: true
        implicitHeight: cardContent.implicitHeight + 24
        implicitWidth: cardContent.implicitWidth + 24
        radius: 10
        color: section.accent(0.05)
        border.color: section.accent(0.1)
        border.width: 1

        ColumnLayout {
            id: cardContent
            anchors.fill: parent
            anchors.margins: 12
            spacing: 12

            RowLayout {
                objectName: "referralsLoading"
                visible: section.presenter.card === ReferralsSettingsSectionPresenter.Loading
                spacing: 8
                BusyIndicator {
                    running: parent.visible
                    Layout.preferredWidth: 16
                    Layout.preferredHeight: 16
                }
                Label {
                    text: "Loading referral info..."
                    font.pointSize: section.captionSize
                    color: section.secondaryText
                }
            }

            // The code, its copy buttons, the counters and the friend's-code rows.
            ColumnLayout {
                visible: section.presenter.card === ReferralsSettingsSectionPresenter.Info
                Layout.fillWidth: true
                spacing: 12

                // The code comes from the backend: a long one is cut short, so that the buttons
                // stay in the window.
                RowLayout {
                    Layout.fillWidth: true
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Layout.minimumWidth: 0
                        Label {
                            text: "Your code"
                            font.pointSize: section.captionSize
                            color: section.secondaryText
                        }
                        Label {
                            objectName: "referralCode"
                            text: section.presenter.code
                            textFormat: Text.PlainText
                            elide: Text.ElideRight
                            font.family: "monospace"
                            font.weight: Font.Medium
                            Layout.fillWidth: true
                            Layout.minimumWidth: 0
                        }
                    }
                    Button {
                        objectName: "copyCodeButton"
                        text: section.presenter.copiedItem === "code" ? "Copied" : "Copy Code"
                        onClicked: section.presenter.copy(section.presenter.code, "code")
                    }
                    Button {
                        objectName: "copyLinkButton"
                        text: section.presenter.copiedItem === "link" ? "Copied" : "Copy Link"
                        onClicked: section.presenter.copy(section.presenter.shareUrl, "link")
                    }
                }
                Label {
                    objectName: "referralCounters"
                    text: section.presenter.counters
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    font.pointSize: section.captionSize
                    color: section.secondaryText
                    Layout.fillWidth: true
                }
                Label {
                    Layout.fillWidth: true
                    text: "Share your link. When a friend upgrades to Pro, you earn a free month."
                    wrapMode: Text.WordWrap
                    font.pointSize: section.captionSize
                    color: section.secondaryText
                }
                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: 1
                    color: Qt.rgba(section.palette.windowText.r, section.palette.windowText.g,
                                   section.palette.windowText.b, 0.15)
                }

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    Label {
                        text: "Have a friend's code?"
                        font.pointSize: section.captionSize
                        color: section.secondaryText
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        TextField {
                            id: codeField
                            objectName: "referralCodeField"
                            Layout.fillWidth: true
                            placeholderText: "Referral code"
                            onAccepted: if (applyButton.enabled) applyButton.clicked()
                        }
                        Button {
                            id: applyButton
                            objectName: "applyCodeButton"
                            text: "Apply"
                            enabled: section.presenter.applyState !== ReferralsSettingsSectionPresenter.Applying
                                     && section.presenter.hasCode(codeField.text)
                            onClicked: section.presenter.apply(codeField.text)
                        }
                    }
                    Label {
                        objectName: "applyCodeMessage"
                        Layout.fillWidth: true
                        visible: section.presenter.applyState === ReferralsSettingsSectionPresenter.Applied
                                 || section.presenter.applyState === ReferralsSettingsSectionPresenter.Failed
                        text: section.presenter.applyState === ReferralsSettingsSectionPresenter.Applied
                              ? "Referral code applied." : section.presenter.applyMessage
                        textFormat: Text.PlainText
                        color: section.presenter.applyState === ReferralsSettingsSectionPresenter.Applied
                               ? ThemeColors.success : ThemeColors.error
                        wrapMode: Text.WordWrap
                        font.pointSize: section.captionSize
                    }
                }
            }

            Label {
                objectName: "referralsError"
                visible: section.presenter.card === ReferralsSettingsSectionPresenter.Error
                text: section.presenter.errorMessage
                textFormat: Text.PlainText
                color: ThemeColors.error
                wrapMode: Text.Wrap
                font.pointSize: section.captionSize
                Layout.fillWidth: true
            }
        }
    }
}
