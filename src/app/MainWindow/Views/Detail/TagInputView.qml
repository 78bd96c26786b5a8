import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The editor's tag row: one removable chip per tag of the working copy, and a field in which a
// new tag is typed and added with Return. Tags reach the library only when the snippet is saved.
RowLayout {
    id: tagInput
    objectName: "tagInput"

    required property SnippetEditorPresenter form
    readonly property bool entryHasFocus: entry.activeFocus

    spacing: 8

    RowLayout {
        spacing: 4
        Label {
            text: "Tags:"
            opacity: 0.7
        }
        HelpPopoverButton {
            objectName: "tagsHelpButton"
            besideButton: false
            helpContent: Component {
                Item {
                    implicitWidth: 220
                    implicitHeight: tagsHelp.height + 24
                    Column {
                        id: tagsHelp
                        x: 12
                        y: 12
                        width: 196
                        spacing: 8
                        Label {
                            text: "Organize with Tags"
                            font.bold: true
                        }
                        Label {
                            width: parent.width
                            text: "Add tags to group related snippets. Filter by tag in the sidebar to quickly find what you need."
                            opacity: 0.7
                            wrapMode: Text.Wrap
                        }
                        Label {
                            width: parent.width
                            text: "Press Enter to add a tag. Tags are saved when you save the snippet."
                            opacity: 0.7
                            wrapMode: Text.Wrap
                        }
                    }
                }
            }
        }
    }

    Repeater {
        model: tagInput.form.tags

        Rectangle {
            id: chip
            required property string modelData
            objectName: "tagChip:" + modelData
            implicitWidth: chipRow.implicitWidth + 16
            implicitHeight: chipRow.implicitHeight + 8
            radius: height / 2
            color: Qt.rgba(palette.highlight.r, palette.highlight.g, palette.highlight.b, 0.12)

            RowLayout {
                id: chipRow
                anchors.centerIn: parent
                spacing: 3
                Label {
                    text: chip.modelData
                    textFormat: Text.PlainText
                    opacity: 0.7
                }
                // Drawn as text, so it shows whatever icon theme the desktop has.
                AbstractButton {
                    objectName: "removeTag:" + chip.modelData
                    focusPolicy: Qt.NoFocus
                    padding: 0
                    contentItem: Text {
                        text: "\u00D7"
                        font.pixelSize: 11
                        font.bold: true
                        color: chip.palette.text
                        opacity: 0.7
                    }
                    onClicked: tagInput.form.removeTag(chip.modelData)
                }
            }
        }
    }

    TextField {
        id: entry
        objectName: "tagEntry"
        placeholderText: "Add tag..."
        Layout.preferredWidth: 100
        leftPadding: 8
        rightPadding: 8
        topPadding: 4
        bottomPadding: 4
        background: Rectangle {
            radius: 6
            color: ThemeColors.secondary
        }
        // Submitting always empties the field, also when nothing was added.
        onAccepted: {
            tagInput.form.addTag(text)
            text = ""
        }
    }

    Item {
        Layout.fillWidth: true
    }
}
