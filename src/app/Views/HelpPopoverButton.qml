import QtQuick
import QtQuick.Controls
import Sablix

// A plain help button ("questionmark.circle") that opens and closes a popover holding a fixed
// help panel. It never takes the keyboard focus, so the field being edited keeps it.
ToolButton {
    id: button

    // The panel the popover shows.
    property Component helpContent
    // Where the popover stands: beside the button (trailing) or below it.
    property bool besideButton: true
    readonly property bool popoverOpen: popover.opened

    icon.name: SymbolIcons.iconName("questionmark.circle")
    text: "?"
    display: icon.name.length > 0 ? AbstractButton.IconOnly : AbstractButton.TextOnly
    flat: true
    focusPolicy: Qt.NoFocus
    padding: 2

    onClicked: popover.opened ? popover.close() : popover.open()

    Popup {
        id: popover
        objectName: button.objectName + "Popover"
        x: button.besideButton ? button.width + 4 : (button.width - width) / 2
        y: button.besideButton ? (button.height - height) / 2 : button.height + 4
        padding: 0
        // A press on the button itself must reach it, so that it can close what it opened.
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
        contentItem: Loader {
            sourceComponent: button.helpContent
        }
    }
}
