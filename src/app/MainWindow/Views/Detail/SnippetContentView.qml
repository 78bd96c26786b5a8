import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The selected snippet, read-only: title, trigger, tags, content with its live preview, and
// Edit and Delete.
FocusScope {
    id: snippetView
    objectName: "snippetContentView"

    required property SnippetDetailPresenter presenter
    readonly property var item: presenter.selectedItem

    readonly property color errorColor: ThemeColors.error

    Shortcut {
        sequence: "Ctrl+E"
        onActivated: snippetView.presenter.edit()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 12

        Label {
            objectName: "snippetTitle"
            text: snippetView.item.snippetTitle
            textFormat: Text.PlainText
            font.pointSize: Qt.application.font.pointSize + 5
            font.weight: Font.DemiBold
            elide: Text.ElideRight
            Layout.fillWidth: true
        }

        RowLayout {
            spacing: 6
            Layout.fillWidth: true
            Label {
                text: "Trigger:"
                opacity: 0.7
            }
            Label {
                objectName: "snippetTrigger"
                text: ";" + snippetView.item.snippetTitle
                textFormat: Text.PlainText
                font.family: "monospace"
                color: palette.highlight
                leftPadding: 8
                rightPadding: 8
                topPadding: 3
                bottomPadding: 3
                elide: Text.ElideRight
                Layout.maximumWidth: snippetView.width - 100
                background: Rectangle {
                    radius: 5
                    color: Qt.rgba(palette.highlight.r, palette.highlight.g, palette.highlight.b, 0.12)
                }
            }
        }

        RowLayout {
            objectName: "snippetTags"
            visible: snippetView.item.tags.length > 0
            spacing: 8
            Layout.fillWidth: true
            Label {
                text: "Tags:"
                opacity: 0.7
            }
            Repeater {
                model: snippetView.item.tags
                Label {
                    required property string modelData
                    text: modelData
                    textFormat: Text.PlainText
                    opacity: 0.7
                    leftPadding: 8
                    rightPadding: 8
                    topPadding: 4
                    bottomPadding: 4
                    background: Rectangle {
                        radius: height / 2
                        color: Qt.rgba(palette.highlight.r, palette.highlight.g, palette.highlight.b, 0.12)
                    }
                }
            }
        }

        ColumnLayout {
            spacing: 6
            Layout.fillWidth: true
            Layout.fillHeight: true

            Label {
                text: "Content"
                font.weight: Font.Medium
                opacity: 0.7
            }
            ScrollView {
                id: contentScroll
                Layout.fillWidth: true
                Layout.fillHeight: true
                ScrollBar.vertical.policy: ScrollBar.AlwaysOn
                contentWidth: availableWidth

                DynamicFieldContentView {
                    width: contentScroll.availableWidth
                    content: snippetView.item.snippet
                    presenter: snippetView.presenter
                }
            }
        }

        Label {
            objectName: "deleteError"
            visible: snippetView.presenter.deleteError.length > 0
            text: snippetView.presenter.deleteError
            textFormat: Text.PlainText
            color: snippetView.errorColor
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            Button {
                objectName: "editButton"
                text: "Edit"
                icon.name: SymbolIcons.iconName("pencil")
                onClicked: snippetView.presenter.edit()
            }
            Item {
                Layout.fillWidth: true
            }
            Button {
                objectName: "deleteButton"
                text: "Delete"
                icon.name: SymbolIcons.iconName("trash")
                palette.buttonText: snippetView.errorColor
                onClicked: snippetView.presenter.deleteSelected()
            }
        }
    }
}
