import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One numbered line of the welcome's how-it-works card.
RowLayout {
    id: row

    property string step
    property string title
    property string detail

    spacing: 12

    Rectangle {
        implicitWidth: 22
        implicitHeight: 22
        radius: 11
        color: row.palette.highlight
        Layout.alignment: Qt.AlignTop
        Label {
            anchors.centerIn: parent
            text: row.step
            textFormat: Text.PlainText
            color: "white"
            font.bold: true
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
        }
    }
    ColumnLayout {
        spacing: 2
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignTop
        Label {
            text: row.title
            textFormat: Text.PlainText
            font.weight: Font.Medium
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            Layout.fillWidth: true
        }
        Label {
            text: row.detail
            textFormat: Text.PlainText
            opacity: 0.7
            wrapMode: Text.Wrap
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
            Layout.fillWidth: true
        }
    }
}
