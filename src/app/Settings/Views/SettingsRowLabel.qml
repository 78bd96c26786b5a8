import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// A setting's symbol in the accent colour beside its title and a line that explains it.
RowLayout {
    id: rowLabel
    property string symbol
    property string title
    property string subtitle

    spacing: 8

    SymbolImage {
        symbol: rowLabel.symbol
        size: 18
        color: rowLabel.palette.highlight
    }
    ColumnLayout {
        spacing: 2
        Layout.fillWidth: true
        Label {
            text: rowLabel.title
            font.weight: Font.Medium
            textFormat: Text.PlainText
        }
        Label {
            text: rowLabel.subtitle
            textFormat: Text.PlainText
            opacity: 0.65
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
}
