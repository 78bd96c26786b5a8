import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// A snippet's content in the read-only view. Without dynamic fields it is plain selectable
// text. With them it shows twice: as written, with the field tokens set off, and as a live
// preview of what expanding it would give now, computed again every two seconds while shown.
ColumnLayout {
    id: contentView
    objectName: "dynamicFieldContent"

    required property string content
    required property SnippetDetailPresenter presenter
    property string previewText

    function refreshPreview() {
        if (highlight.hasDynamicFields)
            previewText = presenter.previewFor(content)
    }

    spacing: 12

    DynamicFieldContent {
        id: highlight
        content: contentView.content
        textDocument: highlightedText.textDocument
        tokenColor: contentView.palette.highlight
        onContentChanged: contentView.refreshPreview()
    }

    // Each refresh may read the clipboard, which can stall on a frozen owner: only while someone
    // can see the window. Shown again, it refreshes at once.
    Timer {
        objectName: "previewRefreshTimer"
        interval: contentView.presenter.previewRefreshInterval
        repeat: true
        triggeredOnStart: true
        running: highlight.hasDynamicFields && contentView.visible && contentView.Window.window !== null
                 && contentView.Window.window.visible && contentView.Window.visibility !== Window.Minimized
        onTriggered: contentView.refreshPreview()
    }

    TextEdit {
        objectName: "plainContent"
        visible: !highlight.hasDynamicFields
        text: visible ? contentView.content : ""
        textFormat: TextEdit.PlainText
        readOnly: true
        selectByMouse: true
        wrapMode: TextEdit.Wrap
        color: contentView.palette.text
        selectionColor: contentView.palette.highlight
        selectedTextColor: contentView.palette.highlightedText
        Layout.fillWidth: true
    }

    TextEdit {
        id: highlightedText
        objectName: "highlightedContent"
        visible: highlight.hasDynamicFields
        text: highlight.highlightedText
        textFormat: TextEdit.PlainText
        readOnly: true
        selectByMouse: true
        wrapMode: TextEdit.Wrap
        color: contentView.palette.text
        selectionColor: contentView.palette.highlight
        selectedTextColor: contentView.palette.highlightedText
        Layout.fillWidth: true
    }

    MenuSeparator {
        visible: highlight.hasDynamicFields
        Layout.fillWidth: true
    }

    ColumnLayout {
        visible: highlight.hasDynamicFields
        spacing: 4
        Layout.fillWidth: true

        Label {
            text: "Preview"
            font.weight: Font.Medium
            opacity: 0.7
        }
        TextEdit {
            objectName: "previewText"
            text: contentView.previewText
            textFormat: TextEdit.PlainText
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.Wrap
            color: contentView.palette.text
            opacity: 0.7
            selectionColor: contentView.palette.highlight
            selectedTextColor: contentView.palette.highlightedText
            Layout.fillWidth: true
        }
    }

}
