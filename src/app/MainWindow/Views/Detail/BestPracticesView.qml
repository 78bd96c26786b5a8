import QtQuick
import QtQuick.Controls
import Sablix

// Advice on choosing snippet titles, shown from the editor's title help button. Laid out with
// positioners of fixed width, so wrapped descriptions give the panel its true height.
Item {
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

    implicitWidth: 280
    implicitHeight: column.height + 32

    Column {
        id: column
        x: 16
        y: 16
        width: panel.implicitWidth - 32
        spacing: 16

        Label {
            text: "Snippet Best Practices"
            font.bold: true
            bottomPadding: 4
        }

        Column {
            width: parent.width
            spacing: 12

            Repeater {
                model: panel.rows

                Row {
                    id: row
                    required property var modelData
                    width: parent.width
                    spacing: 10

                    SymbolImage {
                        symbol: row.modelData.icon
                        color: panel.palette.highlight
                        width: 20
                    }
                    Column {
                        width: row.width - 30
                        spacing: 2
                        Label {
                            width: parent.width
                            text: row.modelData.title
                            textFormat: Text.PlainText
                            font.weight: Font.Medium
                            wrapMode: Text.Wrap
                        }
                        Label {
                            width: parent.width
                            text: row.modelData.description
                            textFormat: Text.PlainText
                            font.pointSize: Qt.application.font.pointSize - 1
                            opacity: 0.7
                            wrapMode: Text.Wrap
                        }
                    }
                }
            }
        }

        Rectangle {
            width: parent.width
            height: 1
            color: panel.palette.mid
        }

        Column {
            width: parent.width
            spacing: 6
            Label {
                text: "How it works"
                font.weight: Font.Medium
                opacity: 0.7
            }
            Label {
                width: parent.width
                // A fixed text of the application; its Markdown sets the ";" in bold.
                text: "Type **;** followed by your snippet title anywhere on your computer to expand it."
                textFormat: Text.MarkdownText
                font.pointSize: Qt.application.font.pointSize - 1
                opacity: 0.7
                wrapMode: Text.Wrap
            }
        }
    }
}
