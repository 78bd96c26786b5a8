import QtQuick
import QtQuick.Controls

// The dynamic-field syntax with an example, shown from the insert bar's help button. Laid out
// with positioners of fixed width, so wrapped descriptions give the panel its true height.
Item {
    id: panel
    objectName: "dynamicFieldsHelpView"

    readonly property var rows: [
        { field: "{date}", description: "Current date (e.g. June 26, 2026)" },
        { field: "{date:short}", description: "Short date format (e.g. 6/26/26)" },
        { field: "{date+N} / {date-N}", description: "Date offset by N days. Append :short for short format." },
        { field: "{time}", description: "Current time (e.g. 2:30 PM)" },
        { field: "{day}", description: "Day of the week (e.g. Thursday)" },
        { field: "{clipboard}", description: "Pastes whatever is on your clipboard" },
        { field: "{snippet:name}", description: "Embeds another snippet by its title" },
        { field: "{cursor}", description: "Places your cursor here after expansion" },
        { field: "{fill:Name}", description: "Prompts you to enter a value when the snippet expands" }
    ]
    readonly property string example: "Hi {fill:Name},\n\nFollowing up from {day}. {cursor}\n\nBest,\n{snippet:sig}"

    // The rows and the example in a caption's size: the whole panel fits the window at its
    // default size.
    readonly property real captionSize: Math.max(1, Qt.application.font.pointSize - 2)

    implicitWidth: 320
    implicitHeight: column.height + 32

    Column {
        id: column
        x: 16
        y: 16
        width: panel.implicitWidth - 32
        spacing: 16

        Label {
            text: "Dynamic Fields"
            font.bold: true
            bottomPadding: 4
        }

        Column {
            width: parent.width
            spacing: 10

            Repeater {
                model: panel.rows

                Column {
                    id: row
                    required property var modelData
                    width: parent.width
                    spacing: 2
                    Label {
                        text: row.modelData.field
                        textFormat: Text.PlainText
                        font.family: "monospace"
                        font.weight: Font.DemiBold
                        font.pointSize: panel.captionSize
                        color: panel.palette.highlight
                    }
                    Label {
                        width: parent.width
                        text: row.modelData.description
                        textFormat: Text.PlainText
                        font.pointSize: panel.captionSize
                        opacity: 0.7
                        wrapMode: Text.Wrap
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
                text: "Example"
                font.weight: Font.Medium
                opacity: 0.7
            }
            Label {
                objectName: "dynamicFieldsExample"
                width: parent.width
                text: panel.example
                textFormat: Text.PlainText
                font.family: "monospace"
                font.pointSize: panel.captionSize
                padding: 8
                background: Rectangle {
                    radius: 6
                    color: Qt.rgba(panel.palette.text.r, panel.palette.text.g, panel.palette.text.b, 0.05)
                }
            }
        }
    }
}
