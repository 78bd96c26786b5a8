import QtQuick
import QtQuick.Controls

// A section card of the settings sheet: its content with a margin of 12 on a rounded field
// faintly tinted and outlined in the accent colour.
Control {
    id: card
    padding: 12

    background: Rectangle {
        radius: 10
        color: Qt.rgba(card.palette.highlight.r, card.palette.highlight.g, card.palette.highlight.b, 0.05)
        border.width: 1
        border.color: Qt.rgba(card.palette.highlight.r, card.palette.highlight.g, card.palette.highlight.b, 0.1)
    }
}
