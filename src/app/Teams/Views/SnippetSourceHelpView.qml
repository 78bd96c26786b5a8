import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// Explains the two kinds of snippet source, shown from the snippet source's help button.
Item {
    id: panel
    objectName: "snippetSourceHelpView"

    implicitWidth: help.width + 28
    implicitHeight: help.implicitHeight + 28

    component SourceRow: RowLayout {
        id: row
        property string symbol
        property string title
        property string explanation
        Layout.fillWidth: true
        spacing: 8
        SymbolImage {
            Layout.alignment: Qt.AlignTop
            Layout.preferredWidth: 16
            symbol: row.symbol
            color: row.palette.placeholderText
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Label { text: row.title; textFormat: Text.PlainText; font.weight: Font.Medium }
            Label {
                Layout.fillWidth: true
                text: row.explanation
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                color: row.palette.placeholderText
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
            }
        }
    }

    ColumnLayout {
        id: help
        x: 14
        y: 14
        spacing: 10
        width: 260

        Label { text: "Snippet Source"; font.bold: true }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 8
            SourceRow {
                symbol: "person.fill"
                title: "Personal Snippets"
                explanation: "Your private snippets, stored locally on this device."
            }
            SourceRow {
                symbol: "person.2.fill"
                title: "Team Snippets"
                explanation: "Shared snippets synced across all team members."
            }
        }
    }
}
