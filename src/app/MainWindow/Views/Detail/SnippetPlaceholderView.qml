import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// What the detail pane shows when there is nothing to show.
Item {
    objectName: "snippetPlaceholder"

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 12

        SymbolImage {
            symbol: "text.cursor"
            color: palette.text
            opacity: 0.25
            sourceSize.width: 44
            sourceSize.height: 44
            Layout.alignment: Qt.AlignHCenter
        }
        ColumnLayout {
            spacing: 4
            Layout.alignment: Qt.AlignHCenter
            Label {
                text: "Select a snippet"
                font.bold: true
                opacity: 0.5
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                text: "Choose a snippet from the sidebar"
                opacity: 0.3
                Layout.alignment: Qt.AlignHCenter
            }
        }
    }
}
