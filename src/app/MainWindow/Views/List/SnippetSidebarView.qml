pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The list column: a search field, the snippets the list model shows (or an empty state that
// teaches the trigger idea) and the "New Snippet" button. Rows are built only as they scroll in.
Item {
    id: pane
    objectName: "snippetSidebar"

    required property MiddlePanelModel model
    required property RightPanelModel rightPanelModel
    required property MainWindowState windowState
    // The tag chosen in the tag column, empty for all snippets.
    property string tagFilter: ""
    property alias searchText: searchField.text

    implicitWidth: 280

    function filter() {
        pane.model.filterItems(pane.searchText, pane.tagFilter)
    }

    // Runs at once: the editor is prepared before the selection is cleared.
    function newSnippet() {
        pane.rightPanelModel.showNewSnippetView()
        pane.windowState.selectedSnippetID = ""
    }

    // After the window's own reaction to the same change, so the search keeps narrowing the list.
    onTagFilterChanged: Qt.callLater(pane.filter)

    function accent(opacity) {
        return Qt.rgba(pane.palette.highlight.r, pane.palette.highlight.g, pane.palette.highlight.b, opacity)
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            objectName: "searchBar"
            Layout.fillWidth: true
            Layout.leftMargin: 8
            Layout.rightMargin: 8
            Layout.topMargin: 12
            Layout.bottomMargin: 8
            implicitHeight: searchRow.implicitHeight + 20
            radius: 8
            color: ThemeColors.secondary

            RowLayout {
                id: searchRow
                anchors.fill: parent
                anchors.margins: 10
                spacing: 8
                SymbolImage {
                    symbol: "magnifyingglass"
                    size: 16
                    color: pane.palette.windowText
                    opacity: 0.6
                }
                TextField {
                    id: searchField
                    objectName: "searchField"
                    Layout.fillWidth: true
                    placeholderText: "Search snippets"
                    background: null
                    padding: 0
                    onTextChanged: Qt.callLater(pane.filter)
                    // The window is built anew each time it is shown: the search goes on as it was.
                    Component.onCompleted: text = pane.model.searchText
                }
                ToolButton {
                    objectName: "clearSearchButton"
                    visible: searchField.text !== ""
                    icon.name: SymbolIcons.iconName("xmark.circle.fill")
                    display: AbstractButton.IconOnly
                    text: "Clear"
                    flat: true
                    padding: 0
                    implicitWidth: 20
                    implicitHeight: 20
                    opacity: 0.45
                    onClicked: searchField.text = ""
                }
            }
        }

        ListView {
            id: list
            objectName: "snippetList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: count > 0
            clip: true
            spacing: 2
            topMargin: 4
            bottomMargin: 4
            leftMargin: 8
            rightMargin: 8
            model: pane.model.listModel
            reuseItems: true
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

            delegate: ItemDelegate {
                id: row
                required property var model  // for the "id" role, a name QML keeps for itself
                required property string snippetTitle
                required property string snippetPreview
                required property var leadingTags
                required property string moreTagsText
                readonly property bool isSelected: pane.windowState.selectedSnippetID === model.id

                objectName: "snippetRow:" + snippetTitle
                width: ListView.view.width - ListView.view.leftMargin - ListView.view.rightMargin
                hoverEnabled: true
                topPadding: 8
                bottomPadding: 8
                leftPadding: 10
                rightPadding: 10
                onClicked: {
                    const id = row.model.id
                    Qt.callLater(() => pane.windowState.selectedSnippetID = id)
                }

                background: Rectangle {
                    radius: 6
                    color: row.isSelected ? pane.accent(ThemeColors.dark ? 0.2 : 0.12)
                         : row.hovered ? Qt.rgba(pane.palette.windowText.r, pane.palette.windowText.g,
                                                 pane.palette.windowText.b, 0.06)
                         : "transparent"
                    Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.InOutQuad } }
                }

                contentItem: ColumnLayout {
                    spacing: 4
                    Label {
                        objectName: "rowTitle"
                        Layout.fillWidth: true
                        text: row.snippetTitle
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        maximumLineCount: 1
                        font.weight: Font.DemiBold
                    }
                    Label {
                        objectName: "rowPreview"
                        Layout.fillWidth: true
                        text: row.snippetPreview
                        textFormat: Text.PlainText
                        wrapMode: Text.Wrap
                        maximumLineCount: 2
                        elide: Text.ElideRight
                        opacity: 0.6
                    }
                    Flow {
                        objectName: "rowTags"
                        Layout.fillWidth: true
                        visible: row.leadingTags.length > 0
                        spacing: 4
                        Repeater {
                            model: row.leadingTags
                            Label {
                                required property string modelData
                                objectName: "tagChip"
                                text: "#" + modelData
                                textFormat: Text.PlainText
                                font.pointSize: Math.max(1, row.font.pointSize - 3)
                                opacity: 0.7
                                leftPadding: 6
                                rightPadding: 6
                                topPadding: 2
                                bottomPadding: 2
                                background: Rectangle {
                                    radius: height / 2
                                    color: pane.accent(0.12)
                                }
                            }
                        }
                        Label {
                            objectName: "moreTags"
                            visible: row.moreTagsText !== ""
                            text: row.moreTagsText
                            textFormat: Text.PlainText
                            font.pointSize: Math.max(1, row.font.pointSize - 3)
                            opacity: 0.45
                        }
                    }
                }
            }
        }

        // Also when a search or a tag matches nothing.
        Item {
            objectName: "snippetEmptyState"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: list.count === 0

            ColumnLayout {
                anchors.centerIn: parent
                width: Math.min(parent.width - 24, 320)
                spacing: 16

                SymbolImage {
                    Layout.alignment: Qt.AlignHCenter
                    symbol: "text.badge.plus"
                    size: 48
                    color: pane.palette.windowText
                    opacity: 0.35
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    Layout.leftMargin: 8
                    Layout.rightMargin: 8
                    spacing: 6
                    Label {
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        text: "No snippets yet"
                        font.weight: Font.DemiBold
                        opacity: 0.6
                    }
                    Label {
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.WordWrap
                        text: "Create a snippet, then type its trigger anywhere on your computer to expand it."
                        opacity: 0.45
                    }
                }
                // A static example of a trigger.
                Rectangle {
                    objectName: "triggerDemo"
                    Layout.alignment: Qt.AlignHCenter
                    implicitWidth: demoRow.implicitWidth + 20
                    implicitHeight: demoRow.implicitHeight + 20
                    radius: 8
                    color: ThemeColors.secondary
                    RowLayout {
                        id: demoRow
                        anchors.centerIn: parent
                        spacing: 8
                        Label {
                            text: "Type"
                            opacity: 0.6
                        }
                        Label {
                            text: ";addr"
                            font.family: "monospace"
                            color: pane.palette.highlight
                            leftPadding: 8
                            rightPadding: 8
                            topPadding: 4
                            bottomPadding: 4
                            background: Rectangle {
                                radius: 5
                                color: pane.accent(0.12)
                            }
                        }
                        SymbolImage {
                            symbol: "arrow.right"
                            size: 12
                            color: pane.palette.windowText
                            opacity: 0.45
                        }
                        Label {
                            text: "123 Main Street..."
                            opacity: 0.6
                            maximumLineCount: 1
                        }
                    }
                }
                Button {
                    objectName: "createSnippetButton"
                    Layout.alignment: Qt.AlignHCenter
                    Layout.topMargin: 4
                    highlighted: true
                    icon.name: SymbolIcons.iconName("plus")
                    text: "Create Snippet"
                    onClicked: pane.newSnippet()
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 8
            Layout.rightMargin: 8
            Layout.topMargin: 12
            Layout.bottomMargin: 12
            Button {
                id: newSnippetButton
                objectName: "newSnippetButton"
                flat: true
                hoverEnabled: true
                icon.name: SymbolIcons.iconName("plus")
                icon.color: pane.palette.highlight
                text: "New Snippet"
                font.weight: Font.Medium
                leftPadding: 16
                rightPadding: 16
                topPadding: 9
                bottomPadding: 9
                palette.buttonText: pane.palette.highlight
                background: Rectangle {
                    radius: 8
                    color: pane.accent(newSnippetButton.hovered ? 0.2 : 0.12)
                    Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.InOutQuad } }
                }
                onClicked: pane.newSnippet()
            }
            Item { Layout.fillWidth: true }
        }
    }
}
