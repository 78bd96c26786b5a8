import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The settings sheet: the header with its close button, the sections in their fixed order in a
// column that scrolls, and Done below. Every control writes straight into what it shows.
Item {
    id: settingsView
    objectName: "settingsView"
    required property SettingsPresenter presenter
    // Shown only while signed in, and only where the sheet was given it.
    property ReferralsSettingsSectionPresenter referralsSection: null

    readonly property string hotkeyTakenText: " is taken by another application. Record another shortcut."

    implicitWidth: 500
    implicitHeight: 600

    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        onActivated: settingsView.presenter.dismiss()
    }
    // Escape closes the sheet as Done does; an open dialog of the sheet takes it first, and the hot
    // key recorder keeps it to end a recording.
    Shortcut {
        sequence: "Escape"
        enabled: !settingsView.presenter.recorder.isRecording
        onActivated: settingsView.presenter.dismiss()
    }

    Rectangle {
        anchors.fill: parent
        color: settingsView.palette.window
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 24
            Layout.bottomMargin: 16

            Label {
                text: "Settings"
                font.bold: true
                font.pointSize: Qt.application.font.pointSize + 8
            }
            Item { Layout.fillWidth: true }
            ToolButton {
                id: closeButton
                objectName: "closeSettingsButton"
                // A glyph rather than a themed icon: the sheet must be closable without an icon theme.
                text: "\u2715"
                Accessible.name: "Close"
                font.pointSize: Qt.application.font.pointSize + 4
                flat: true
                opacity: hovered ? 1 : 0.6
                Behavior on opacity { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
                onClicked: settingsView.presenter.dismiss()
            }
        }

        ScrollView {
            id: scroll
            objectName: "settingsScroll"
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            ScrollBar.vertical.policy: ScrollBar.AlwaysOn

            ColumnLayout {
                width: scroll.availableWidth - 48
                x: 24
                spacing: 24

                SettingsAccountSection {
                    presenter: settingsView.presenter
                    Layout.fillWidth: true
                }

                Loader {
                    active: settingsView.referralsSection !== null
                            && settingsView.presenter.authManager.isAuthenticated
                    visible: active
                    Layout.fillWidth: true
                    sourceComponent: ReferralsSettingsSection {
                        presenter: settingsView.referralsSection
                    }
                }

                SettingsSection {
                    objectName: "hotkeySection"
                    title: "Global Hotkey"
                    Layout.fillWidth: true
                    SettingsCard {
                        Layout.fillWidth: true
                        contentItem: ColumnLayout {
                            spacing: 8
                            RowLayout {
                                SettingsRowLabel {
                                    symbol: "keyboard"
                                    title: "Activate Sablix"
                                    subtitle: "Bring Sablix to focus from anywhere"
                                    Layout.fillWidth: true
                                }
                                HotkeyRecorderView {
                                    recorder: settingsView.presenter.recorder
                                }
                                Switch {
                                    objectName: "hotkeyEnabledSwitch"
                                    checked: settingsView.presenter.hotkeyEnabled
                                    focusPolicy: Qt.NoFocus
                                    onToggled: settingsView.presenter.hotkeyEnabled = checked
                                }
                            }
                            Label {
                                objectName: "hotkeyTakenLabel"
                                visible: settingsView.presenter.hotkeyTaken
                                text: settingsView.presenter.recorder.displayString + settingsView.hotkeyTakenText
                                textFormat: Text.PlainText
                                color: ThemeColors.error
                                wrapMode: Text.Wrap
                                font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                                Layout.fillWidth: true
                            }
                        }
                    }
                }

                SettingsSection {
                    objectName: "snippetsSection"
                    title: "Snippets"
                    Layout.fillWidth: true
                    SettingsCard {
                        Layout.fillWidth: true
                        contentItem: RowLayout {
                            SettingsRowLabel {
                                symbol: "textformat.size"
                                title: "Max Title Length"
                                subtitle: "Limit how long snippet titles can be"
                                Layout.fillWidth: true
                            }
                            Label {
                                objectName: "maxTitleLengthValue"
                                text: settingsView.presenter.snippetSettings.maxTitleLength
                                textFormat: Text.PlainText
                                font.family: "monospace"
                                horizontalAlignment: Text.AlignRight
                                Layout.preferredWidth: 30
                            }
                            SpinBox {
                                id: lengthStepper
                                objectName: "maxTitleLengthStepper"
                                from: 10
                                to: 40
                                stepSize: 5
                                editable: false
                                value: settingsView.presenter.snippetSettings.maxTitleLength
                                onValueModified: settingsView.presenter.snippetSettings.maxTitleLength = value
                                // Only the arrows, one above the other: the value stands in the label
                                // before them. Drawn as text: the style's arrow images outlive the
                                // window that showed them.
                                contentItem: Item { implicitWidth: 0 }
                                background: null
                                implicitWidth: 20
                                implicitHeight: 30
                                up.indicator: Label {
                                    x: lengthStepper.width - width
                                    width: 20
                                    height: lengthStepper.height / 2
                                    text: "\u25B4"
                                    horizontalAlignment: Text.AlignHCenter
                                    verticalAlignment: Text.AlignBottom
                                    opacity: lengthStepper.value < lengthStepper.to ? 1 : 0.35
                                }
                                down.indicator: Label {
                                    x: lengthStepper.width - width
                                    y: lengthStepper.height / 2
                                    width: 20
                                    height: lengthStepper.height / 2
                                    text: "\u25BE"
                                    horizontalAlignment: Text.AlignHCenter
                                    verticalAlignment: Text.AlignTop
                                    opacity: lengthStepper.value > lengthStepper.from ? 1 : 0.35
                                }
                            }
                        }
                    }
                    SettingsCard {
                        Layout.fillWidth: true
                        contentItem: RowLayout {
                            SettingsRowLabel {
                                symbol: "space"
                                title: "Auto-Remove Spaces"
                                subtitle: "Automatically remove spaces from titles"
                                Layout.fillWidth: true
                            }
                            Switch {
                                objectName: "autoRemoveSpacesSwitch"
                                checked: settingsView.presenter.snippetSettings.autoRemoveWhitespace
                                onToggled: settingsView.presenter.snippetSettings.autoRemoveWhitespace = checked
                            }
                        }
                    }
                }

                SettingsSection {
                    objectName: "analyticsSection"
                    title: "Analytics"
                    Layout.fillWidth: true
                    SettingsCard {
                        Layout.fillWidth: true
                        contentItem: RowLayout {
                            SettingsRowLabel {
                                symbol: "chart.bar.fill"
                                title: "Send Anonymous Analytics"
                                subtitle: "Help improve Sablix — no personal data is collected"
                                Layout.fillWidth: true
                            }
                            Switch {
                                objectName: "analyticsSwitch"
                                checked: settingsView.presenter.analyticsEnabled
                                onToggled: settingsView.presenter.analyticsEnabled = checked
                            }
                        }
                    }
                }

                SettingsFeedbackSection {
                    form: settingsView.presenter.feedback
                    Layout.fillWidth: true
                }

                SettingsAboutSection {
                    presenter: settingsView.presenter
                    Layout.fillWidth: true
                    Layout.bottomMargin: 8
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 24
            Layout.topMargin: 16
            Layout.bottomMargin: 24
            Item { Layout.fillWidth: true }
            Button {
                objectName: "doneButton"
                text: "Done"
                highlighted: true
                onClicked: settingsView.presenter.dismiss()
            }
        }
    }
}
