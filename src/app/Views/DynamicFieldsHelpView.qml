import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The dynamic-field syntax with an example, shown from the insert bar's help button.
Pane {
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

    width: 320
    padding: 16

    ColumnLayout {
        width: parent.width
        spacing: 16

        Label {
            text: "Dynamic Fields"
            font.bold: true
            Layout.bottomMargin: 4
        }

        ColumnLayout {
            spacing: 10
            Layout.fillWidth: true

            Repeater {
                model: panel.rows

                ColumnLayout {
                    id: row
                    required property var modelData
                    spacing: 2
                    Layout.fillWidth: true
                    Label {
                        text: row.modelData.field
                        textFormat: Text.PlainText
                        font.family: "monospace"
                        font.weight: Font.DemiBold
                        color: panel.palette.highlight
                    }
                    Label {
                        text: row.modelData.description
                        textFormat: Text.PlainText
                        opacity: 0.7
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
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
                text: "Example"
                font.weight: Font.Medium
                opacity: 0.7
            }
            Label {
                objectName: "dynamicFieldsExample"
                text: panel.example
                textFormat: Text.PlainText
                font.family: "monospace"
                padding: 8
                Layout.fillWidth: true
                background: Rectangle {
                    radius: 6
                    color: Qt.rgba(panel.palette.text.r, panel.palette.text.g, panel.palette.text.b, 0.05)
                }
            }
        }
    }
}
