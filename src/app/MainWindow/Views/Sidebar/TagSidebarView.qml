import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The tag column: "All Snippets" and one row per tag with the number of snippets carrying it.
// A click filters the list by the tag; a row's context menu removes the tag from every snippet
// after a confirmation.
Item {
    id: sidebar
    objectName: "tagSidebar"

    required property TagSidebarModel model
    required property MiddlePanelModel middlePanelModel

    // The tag of the row under the pointer, "__all__" for the "All Snippets" row.
    property string hoveredTag: ""
    property string tagToDelete: ""

    implicitWidth: 180

    function hoverChanged(key, hovered) {
        if (hovered)
            sidebar.hoveredTag = key
        else if (sidebar.hoveredTag === key)
            sidebar.hoveredTag = ""
    }

    function deleteTag(tag) {
        if (sidebar.model.selectedTag === tag)
            sidebar.model.selectedTag = ""
        const reason = sidebar.middlePanelModel.deleteTag(tag)
        sidebar.model.updateAvailableTags()
        if (reason !== "") {
            failureDialog.text = reason
            failureDialog.open()
        }
    }

    component TagRow: ItemDelegate {
        id: row
        property string tag: ""  // empty for the "All Snippets" row
        property string name: ""
        property bool allRow: false
        property int count: 0
        property bool isSelected: false
        property bool isHovered: false

        signal contextMenuRequested(point position)

        padding: 4
        hoverEnabled: true

        background: Rectangle {
            radius: 6
            color: row.isSelected ? Qt.rgba(row.palette.highlight.r, row.palette.highlight.g,
                                            row.palette.highlight.b, 0.15)
                 : row.isHovered ? ThemeColors.secondary : "transparent"
            Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.InOutQuad } }
        }

        contentItem: RowLayout {
            spacing: 6
            SymbolImage {
                symbol: row.allRow ? "tray.full" : "tag"
                size: 16
                color: row.palette.windowText
                opacity: row.isSelected ? 1.0 : 0.6
            }
            Label {
                objectName: "tagName"
                Layout.fillWidth: true
                text: row.name
                textFormat: Text.PlainText
                elide: Text.ElideRight
                font.weight: row.isSelected ? Font.DemiBold : Font.Normal
            }
            Label {
                objectName: "tagCount"
                text: row.count
                textFormat: Text.PlainText
                font.pointSize: Math.max(1, row.font.pointSize - 2)
                opacity: 0.6
                leftPadding: 8
                rightPadding: 8
                topPadding: 2
                bottomPadding: 2
                background: Rectangle {
                    radius: height / 2
                    color: Qt.rgba(row.palette.windowText.r, row.palette.windowText.g, row.palette.windowText.b,
                                   0.08)
                }
            }
        }

        TapHandler {
            acceptedButtons: Qt.RightButton
            onTapped: eventPoint => row.contextMenuRequested(eventPoint.position)
        }
    }

    ListView {
        id: list
        objectName: "tagList"
        anchors.fill: parent
        anchors.margins: 6
        clip: true
        spacing: 2
        model: sidebar.model.availableTags
        ScrollBar.vertical: ScrollBar {}

        header: Column {
            width: list.width
            spacing: 2
            bottomPadding: 2

            TagRow {
                objectName: "tagRow:__all__"
                width: list.width
                allRow: true
                name: "All Snippets"
                count: sidebar.middlePanelModel.allItemsCount
                isSelected: sidebar.model.selectedTag === ""
                isHovered: sidebar.hoveredTag === "__all__"
                onHoveredChanged: sidebar.hoverChanged("__all__", hovered)
                onClicked: sidebar.model.selectedTag = ""
            }

            // Without tags, an invitation to add some in place of the section.
            Column {
                objectName: "tagsEmptyState"
                visible: sidebar.model.availableTags.length === 0
                width: parent.width
                topPadding: 12
                bottomPadding: 12
                spacing: 6
                SymbolImage {
                    anchors.horizontalCenter: parent.horizontalCenter
                    symbol: "tag"
                    size: 20
                    color: sidebar.palette.windowText
                    opacity: 0.3
                }
                Label {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: "No tags yet"
                    opacity: 0.6
                }
                Label {
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.WordWrap
                    text: "Edit a snippet to add tags"
                    opacity: 0.45
                    font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
                }
            }

            Label {
                objectName: "tagsHeader"
                visible: sidebar.model.availableTags.length > 0
                text: "Tags"
                topPadding: 8
                leftPadding: 4
                font.weight: Font.DemiBold
                opacity: 0.6
            }
        }

        delegate: TagRow {
            required property string modelData
            objectName: "tagRow:" + modelData
            width: list.width
            tag: modelData
            name: sidebar.model.displayName(modelData)
            count: {
                sidebar.middlePanelModel.tagCounts  // read again whenever the counts change
                return sidebar.middlePanelModel.tagCount(modelData)
            }
            isSelected: sidebar.model.selectedTag === modelData
            isHovered: sidebar.hoveredTag === modelData
            onHoveredChanged: sidebar.hoverChanged(modelData, hovered)
            onClicked: sidebar.model.selectedTag = modelData
            onContextMenuRequested: position => {
                contextMenu.tag = modelData
                contextMenu.popupAt(mapToItem(sidebar, position))
            }
        }
    }

    // The tag row's context menu, with its one command.
    Popup {
        id: contextMenu
        objectName: "tagContextMenu"
        property string tag: ""
        padding: 4

        function popupAt(position) {
            x = position.x
            y = position.y
            open()
        }

        ItemDelegate {
            objectName: "deleteTagMenuItem"
            text: "Delete Tag"
            icon.name: SymbolIcons.iconName("trash")
            onClicked: {
                contextMenu.close()
                sidebar.tagToDelete = contextMenu.tag
                deleteConfirmation.open()
            }
        }
    }

    AppDialog {
        id: deleteConfirmation
        objectName: "deleteTagConfirmation"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        title: "Delete Tag?"
        width: 360

        contentItem: Label {
            objectName: "deleteTagMessage"
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            visible: sidebar.tagToDelete !== ""
            text: "This will remove the \"" + sidebar.tagToDelete
                  + "\" tag from all snippets. The snippets themselves will not be deleted."
        }

        footer: AppDialogButtons {
            Button {
                objectName: "deleteTagConfirm"
                text: "Delete"
                DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
                onClicked: {
                    deleteConfirmation.close()
                    if (sidebar.tagToDelete !== "")
                        sidebar.deleteTag(sidebar.tagToDelete)
                }
            }
            Button {
                objectName: "deleteTagCancel"
                text: "Cancel"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
                onClicked: {
                    sidebar.tagToDelete = ""
                    deleteConfirmation.close()
                }
            }
        }
    }

    AppDialog {
        id: failureDialog
        objectName: "deleteTagFailure"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        title: "Could Not Delete Tag"
        width: 360
        property alias text: failureLabel.text
        standardButtons: Dialog.Ok
        contentItem: Label {
            id: failureLabel
            objectName: "deleteTagFailureMessage"
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
        }
    }
}
