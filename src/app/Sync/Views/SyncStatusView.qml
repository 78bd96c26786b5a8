import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The badge of the selected team's sync: nothing while idle, otherwise a symbol and a word. An
// error's message is not shown.
RowLayout {
    id: badge
    objectName: "syncStatus"

    // The sync service's state name: idle, syncing, synced, offline or error.
    property string state: "idle"
    readonly property string text: state === "syncing" ? "Syncing"
                                 : state === "synced" ? "Synced"
                                 : state === "offline" ? "Offline"
                                 : state === "error" ? "Sync Error" : ""

    visible: text !== ""
    spacing: 6

    Item { implicitWidth: 4 }
    BusyIndicator {
        visible: badge.state === "syncing"
        running: visible
        Layout.preferredWidth: 12
        Layout.preferredHeight: 12
    }
    SymbolImage {
        visible: badge.state === "synced" || badge.state === "offline" || badge.state === "error"
        symbol: badge.state === "synced" ? "checkmark.circle.fill"
              : badge.state === "offline" ? "wifi.slash" : "exclamationmark.triangle.fill"
        size: 12
        color: badge.state === "synced" ? ThemeColors.success
             : badge.state === "error" ? ThemeColors.warning : badge.palette.placeholderText
    }
    Label {
        objectName: "syncStatusText"
        text: badge.text
        textFormat: Text.PlainText
        font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
        color: badge.palette.placeholderText
    }
}
