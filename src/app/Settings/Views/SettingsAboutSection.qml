import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The product card with its version, build and links to the web site, and the tutorial's replay.
SettingsSection {
    id: about
    objectName: "aboutSection"
    required property SettingsPresenter presenter

    title: "About"

    SettingsCard {
        Layout.fillWidth: true
        contentItem: RowLayout {
            spacing: 16

            Rectangle {
                radius: 14
                color: about.palette.highlight
                Layout.alignment: Qt.AlignTop
                Layout.preferredWidth: 64
                Layout.preferredHeight: 64
                // The application has no icon of its own yet: its initial stands in.
                Label {
                    anchors.centerIn: parent
                    text: "S"
                    font.bold: true
                    font.pointSize: Qt.application.font.pointSize + 18
                    color: about.palette.highlightedText
                }
            }

            ColumnLayout {
                spacing: 8
                Layout.fillWidth: true
                Layout.alignment: Qt.AlignTop

                ColumnLayout {
                    spacing: 2
                    Label {
                        text: "Sablix"
                        font.weight: Font.DemiBold
                        font.pointSize: Qt.application.font.pointSize + 3
                    }
                    Label {
                        objectName: "versionText"
                        text: "Version " + about.presenter.appVersion + " (" + about.presenter.buildNumber + ")"
                        textFormat: Text.PlainText
                        opacity: 0.65
                        font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    }
                }
                Label {
                    text: "Type less, do more. Create shortcuts for phrases you use every day."
                    opacity: 0.65
                    wrapMode: Text.Wrap
                    font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    Layout.fillWidth: true
                }
                RowLayout {
                    spacing: 16
                    Repeater {
                        model: [
                            { name: "Website", path: "" },
                            { name: "Support", path: "/support" },
                            { name: "Privacy", path: "/privacy" }
                        ]
                        Label {
                            id: link
                            required property var modelData
                            objectName: "link" + modelData.name
                            text: modelData.name
                            textFormat: Text.PlainText
                            color: about.palette.link
                            font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                            font.underline: linkArea.containsMouse
                            MouseArea {
                                id: linkArea
                                anchors.fill: parent
                                hoverEnabled: true
                                cursorShape: Qt.PointingHandCursor
                                onClicked: about.presenter.openWebsitePage(link.modelData.path)
                            }
                        }
                    }
                }
            }
        }
    }

    RowLayout {
        Layout.fillWidth: true
        SettingsRowLabel {
            symbol: "graduationcap"
            title: "Interactive Tutorial"
            subtitle: "Learn the basics of Sablix"
            Layout.fillWidth: true
        }
        Button {
            objectName: "replayTutorialButton"
            text: "Replay"
            onClicked: about.presenter.replayTutorial()
        }
    }
}
