import QtQuick
import QtQuick.Controls

// A plain help button, a question mark in a circle, that opens and closes a popover holding a
// fixed help panel. It draws its own mark, so it shows whatever icon theme the desktop has. It
// never takes the keyboard focus, so the field being edited keeps it.
AbstractButton {
    id: button

    // The panel the popover shows.
    property Component helpContent
    // Where the popover stands: beside the button (trailing) or below it.
    property bool besideButton: true
    readonly property bool popoverOpen: popover.opened

    function closePopover() {
        popover.close()
    }

    focusPolicy: Qt.NoFocus
    padding: 2
    implicitWidth: 14 + leftPadding + rightPadding
    implicitHeight: 14 + topPadding + bottomPadding
    opacity: hovered || popoverOpen ? 1.0 : 0.6

    contentItem: Rectangle {
        implicitWidth: 14
        implicitHeight: 14
        radius: width / 2
        color: "transparent"
        border.width: 1
        border.color: button.palette.text
        Text {
            anchors.centerIn: parent
            text: "?"
            color: button.palette.text
            font.pixelSize: 10
            font.bold: true
        }
    }

    onClicked: popover.opened ? popover.close() : popover.open()

    Popup {
        id: popover
        objectName: button.objectName + "Popover"
        x: button.besideButton ? button.width + 4 : (button.width - width) / 2
        y: button.besideButton ? (button.height - height) / 2 : button.height + 4
        padding: 0
        // Kept inside the window, moved rather than cut short where it would stick out.
        margins: 8
        // A press on the button itself must reach it, so that it can close what it opened. Escape is
        // left to the view around it: a popup that closes on Escape blocks every shortcut of the
        // window while it is open, Ctrl+Return included.
        closePolicy: Popup.CloseOnPressOutsideParent
        // In a window too small for the panel, the popover is cut to the window: the panel scrolls.
        contentItem: Flickable {
            implicitWidth: panel.implicitWidth
            implicitHeight: panel.implicitHeight
            contentWidth: panel.width
            contentHeight: panel.height
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {
                policy: parent.contentHeight > parent.height ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded
            }
            Loader {
                id: panel
                sourceComponent: button.helpContent
            }
        }
    }
}
