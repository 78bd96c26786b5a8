import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// A collapsible strip under the content editor with one button per kind of dynamic field; a
// button hands its token to whoever puts it into the content. No button takes the keyboard
// focus, so the field being edited stays the one being edited.
ColumnLayout {
    id: bar
    objectName: "dynamicFieldInsertBar"

    // A field's button was pressed; token is what goes into the content.
    signal insert(string token)

    property bool isExpanded: false

    readonly property var fields: [
        { label: "Date", icon: "calendar", value: "{date}" },
        { label: "Date+N", icon: "calendar.badge.plus", value: "{date+7}" },
        { label: "Time", icon: "clock", value: "{time}" },
        { label: "Day", icon: "calendar.badge.clock", value: "{day}" },
        { label: "Clipboard", icon: "doc.on.clipboard", value: "{clipboard}" },
        { label: "Snippet", icon: "text.insert", value: "{snippet:name}" },
        { label: "Cursor", icon: "text.cursor", value: "{cursor}" },
        { label: "Fill-in", icon: "text.badge.plus", value: "{fill:Name}" }
    ]

    spacing: 0

    RowLayout {
        spacing: 4
        Layout.fillWidth: true

        ToolButton {
            id: toggle
            objectName: "dynamicFieldsToggle"
            // The chevron is text, so it shows whatever icon theme the desktop has.
            text: (bar.isExpanded ? "\u25BE" : "\u25B8") + "  Dynamic Fields"
            flat: true
            focusPolicy: Qt.NoFocus
            padding: 2
            opacity: 0.7
            onClicked: bar.isExpanded = !bar.isExpanded
        }
        HelpPopoverButton {
            objectName: "dynamicFieldsHelpButton"
            helpContent: Component {
                DynamicFieldsHelpView {}
            }
        }
        // The rest of the header row also opens and closes the strip.
        MouseArea {
            Layout.fillWidth: true
            Layout.preferredHeight: toggle.height
            onClicked: bar.isExpanded = !bar.isExpanded
        }
    }

    GridLayout {
        id: grid
        objectName: "dynamicFieldButtons"
        visible: bar.isExpanded
        // As many columns as hold the longest label whole, four at most: in a narrow editor the
        // buttons wrap onto more rows rather than cut their labels short. Counted from the bar's
        // width, which the grid fills, and only while the grid shows: a layout changed while hidden
        // is not laid out again when it shows.
        columns: !bar.isExpanded || bar.width <= 0
                 ? 4 : Math.max(1, Math.min(4, Math.floor((bar.width + columnSpacing) / (widestButton + columnSpacing))))
        columnSpacing: 6
        rowSpacing: 6
        Layout.topMargin: 6
        Layout.fillWidth: true

        readonly property real widestButton: {
            let widest = 1
            for (let i = 0; i < buttons.count; ++i) {
                const button = buttons.itemAt(i)
                if (button)
                    widest = Math.max(widest, button.implicitWidth)
            }
            return widest
        }

        Repeater {
            id: buttons
            model: bar.fields

            Button {
                id: fieldButton
                required property var modelData
                objectName: "insertField:" + modelData.value
                text: modelData.label
                icon.name: SymbolIcons.iconName(modelData.icon)
                flat: true
                focusPolicy: Qt.NoFocus
                hoverEnabled: true
                ToolTip.visible: hovered
                ToolTip.text: modelData.label
                Layout.fillWidth: true
                Layout.minimumWidth: 10
                Layout.preferredWidth: 10
                onClicked: bar.insert(modelData.value)
                background: Rectangle {
                    radius: 5
                    color: Qt.rgba(fieldButton.palette.highlight.r, fieldButton.palette.highlight.g,
                                   fieldButton.palette.highlight.b, fieldButton.down ? 0.2 : 0.08)
                }
            }
        }
    }
}
