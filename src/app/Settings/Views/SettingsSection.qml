import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One section of the settings sheet: its title, then its content below.
ColumnLayout {
    id: section
    property string title
    default property alias content: body.data

    spacing: 16

    Label {
        text: section.title
        font.weight: Font.DemiBold
        font.pointSize: Qt.application.font.pointSize + 2
        textFormat: Text.PlainText
    }
    ColumnLayout {
        id: body
        spacing: 12
        Layout.fillWidth: true
    }
}
