pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The tutorial's last step: a starting point for the user's first snippet of their own, or none.
ColumnLayout {
    id: step
    objectName: "tutorialCompleteStep"

    // The starter templates' rows: maps of "icon", "label" and "title".
    property var templates: []

    signal templateChosen(int index)
    signal startFromScratch
    signal done

    spacing: 20

    SymbolImage {
        symbol: "checkmark.circle"
        size: 48
        color: ThemeColors.success
        Layout.alignment: Qt.AlignHCenter
    }

    ColumnLayout {
        spacing: 8
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignHCenter
        Label {
            text: "You're all set"
            textFormat: Text.PlainText
            font.pointSize: Qt.application.font.pointSize + 5
            font.weight: Font.DemiBold
            Layout.alignment: Qt.AlignHCenter
        }
        Label {
            text: "Create your first custom snippet. Pick a starting point or start from scratch."
            textFormat: Text.PlainText
            opacity: 0.7
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            Layout.fillWidth: true
            Layout.maximumWidth: 360
            Layout.alignment: Qt.AlignHCenter
        }
    }

    ColumnLayout {
        spacing: 8
        Layout.fillWidth: true
        Layout.maximumWidth: 340
        Layout.alignment: Qt.AlignHCenter

        Repeater {
            model: step.templates
            // The whole row answers a click, its empty middle included.
            AbstractButton {
                id: row
                required property var modelData
                required property int index
                objectName: "templateRow:" + modelData.title
                Layout.fillWidth: true
                leftPadding: 14
                rightPadding: 14
                topPadding: 10
                bottomPadding: 10
                onClicked: step.templateChosen(index)
                background: Rectangle {
                    radius: 8
                    color: ThemeColors.secondary
                }
                contentItem: RowLayout {
                    spacing: 10
                    Item {
                        implicitWidth: 20
                        implicitHeight: 16
                        SymbolImage {
                            anchors.centerIn: parent
                            symbol: row.modelData.icon
                            color: row.palette.highlight
                        }
                    }
                    Label {
                        text: row.modelData.label
                        textFormat: Text.PlainText
                        color: ThemeColors.foreground
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                    Label {
                        text: ";" + row.modelData.title
                        textFormat: Text.PlainText
                        opacity: 0.7
                        font.family: "monospace"
                        font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                    }
                }
            }
        }
    }

    ColumnLayout {
        spacing: 8
        Layout.alignment: Qt.AlignHCenter
        Button {
            objectName: "startFromScratchButton"
            text: "Start from scratch"
            highlighted: true
            Layout.preferredWidth: 200
            Layout.alignment: Qt.AlignHCenter
            onClicked: step.startFromScratch()
        }
        Button {
            objectName: "tutorialDoneButton"
            text: "Done"
            flat: true
            opacity: 0.7
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            Layout.alignment: Qt.AlignHCenter
            onClicked: step.done()
        }
    }
}
