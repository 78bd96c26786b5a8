import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// Advice on choosing snippet titles, shown from the editor's title help button.
Pane {
    id: panel
    objectName: "bestPracticesView"

    readonly property var rows: [
        { icon: "textformat", title: "Use short, memorable titles",
          description: "Keep titles 2-10 characters. Examples: addr, sig, ty" },
        { icon: "minus", title: "Use dashes instead of spaces",
          description: "my-address is easier to type than my address" },
        { icon: "number", title: "Add prefixes for categories",
          description: "Group related snippets: email-sig, email-reply, email-oo" },
        { icon: "exclamationmark.triangle", title: "Avoid common words",
          description: "Don't use words like 'the' or 'is' that appear in normal typing" },
        { icon: "arrow.triangle.2.circlepath", title: "Don't include the trigger in content",
          description: "If your title is 'addr', don't put ;addr in the content" }
    ]

    width: 280
    padding: 16

    ColumnLayout {
        width: parent.width
        spacing: 16

        Label {
            text: "Snippet Best Practices"
            font.bold: true
            Layout.bottomMargin: 4
        }

        ColumnLayout {
            spacing: 12
            Layout.fillWidth: true

            Repeater {
                model: panel.rows

                RowLayout {
                    id: row
                    required property var modelData
                    spacing: 10
                    Layout.fillWidth: true

                    SymbolImage {
                        symbol: row.modelData.icon
                        color: panel.palette.highlight
                        Layout.preferredWidth: 20
                        Layout.alignment: Qt.AlignTop
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label {
                            text: row.modelData.title
                            textFormat: Text.PlainText
                            font.weight: Font.Medium
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                        Label {
                            text: row.modelData.description
                            textFormat: Text.PlainText
                            font.pointSize: Qt.application.font.pointSize - 1
                            opacity: 0.7
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                }
            }
        }

        MenuSeparator {
            Layout.fillWidth: true
            Layout.topMargin: 4
            Layout.bottomMargin: 4
        }

        ColumnLayout {
            spacing: 6
            Layout.fillWidth: true
            Label {
                text: "How it works"
                font.weight: Font.Medium
                opacity: 0.7
            }
            Label {
                // A fixed text of the application; its Markdown sets the ";" in bold.
                text: "Type **;** followed by your snippet title anywhere on your Mac to expand it."
                textFormat: Text.MarkdownText
                font.pointSize: Qt.application.font.pointSize - 1
                opacity: 0.7
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
    }
}
