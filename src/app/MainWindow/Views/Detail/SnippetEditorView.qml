
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The form in which a snippet is created or edited: title with its trigger preview, tags,
// content with the dynamic-field bar, validation messages, Save and Cancel. Everything it
// decides is the form's; the view shows it and forwards input.
FocusScope {
    id: editorView
    objectName: "snippetEditor"

    required property SnippetEditorPresenter form
    // Why the last Save did not store the snippet.
    property string saveError

    readonly property color errorColor: ThemeColors.error
    readonly property color warningColor: ThemeColors.warning

    // The token goes where the content editor's selection is, unless another field is being
    // edited or the content editor holds other text: then it goes at the end.
    function insertField(token) {
        const contentIsEdited = !titleField.activeFocus && !tagInput.entryHasFocus
                && DocumentText.plainText(contentArea.textDocument) === form.snippet
        if (!contentIsEdited) {
            form.insertField(token, -1, -1)
            return
        }
        // Setting the new text puts the caret at the start: it goes back to just after the field,
        // so that typing goes on from there.
        const caret = contentArea.selectionStart + token.length
        form.insertField(token, contentArea.selectionStart, contentArea.selectionEnd)
        contentArea.cursorPosition = caret
        contentArea.forceActiveFocus()
    }

    // Escape first closes a help popover that is open in the editor, and only then cancels.
    function closeOpenHelp(item) {
        if (item.popoverOpen === true) {
            item.closePopover()
            return true
        }
        for (let i = 0; i < item.children.length; ++i) {
            if (closeOpenHelp(item.children[i]))
                return true
        }
        return false
    }

    Shortcut {
        sequences: ["Ctrl+Return", "Ctrl+Enter"]
        enabled: editorView.form.canSave
        onActivated: editorView.form.saveWithValidation()
    }
    Shortcut {
        sequence: "Escape"
        onActivated: {
            if (!editorView.closeOpenHelp(editorView))
                editorView.form.cancel()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 12

        ColumnLayout {
            spacing: 6
            Layout.fillWidth: true

            RowLayout {
                Label {
                    text: "Title"
                    font.weight: Font.Medium
                    opacity: 0.7
                }
                HelpPopoverButton {
                    objectName: "titleHelpButton"
                    helpContent: Component {
                        BestPracticesView {}
                    }
                }
            }

            TextField {
                id: titleField
                objectName: "titleField"
                placeholderText: "Enter snippet title"
                font.pointSize: Qt.application.font.pointSize + 3
                padding: 10
                focus: true
                Layout.fillWidth: true
                background: Rectangle {
                    radius: 8
                    color: ThemeColors.secondary
                    border.width: 1
                    border.color: Qt.rgba(titleField.palette.text.r, titleField.palette.text.g,
                                          titleField.palette.text.b, 0.1)
                }

                property int caretAfterChange: -1

                // The form may change what was typed (no ";", no spaces, not too long); the
                // field then shows the form's title with the caret where the typing left it.
                onTextEdited: {
                    const typed = text
                    caretAfterChange = cursorPosition
                    editorView.form.snippetTitle = typed
                    caretAfterChange = -1
                }
                Component.onCompleted: text = editorView.form.snippetTitle
                Connections {
                    target: editorView.form
                    function onSnippetTitleChanged() {
                        const title = editorView.form.snippetTitle
                        if (titleField.text === title)
                            return
                        const removed = titleField.text.length - title.length
                        const caret = titleField.caretAfterChange
                        titleField.text = title
                        if (caret >= 0)
                            titleField.cursorPosition = Math.max(0, Math.min(caret - removed, title.length))
                    }
                }
            }

            Repeater {
                model: editorView.form.displayableErrors
                RowLayout {
                    id: errorRow
                    required property string modelData
                    spacing: 4
                    Layout.fillWidth: true
                    SymbolImage {
                        symbol: "exclamationmark.circle.fill"
                        color: editorView.errorColor
                        sourceSize.width: 10
                        sourceSize.height: 10
                    }
                    Label {
                        objectName: "validationError"
                        text: errorRow.modelData
                        textFormat: Text.PlainText
                        color: editorView.errorColor
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                }
            }

            Repeater {
                model: editorView.form.validationWarnings
                RowLayout {
                    id: warningRow
                    required property string modelData
                    spacing: 4
                    Layout.fillWidth: true
                    SymbolImage {
                        symbol: "exclamationmark.triangle.fill"
                        color: editorView.warningColor
                        sourceSize.width: 10
                        sourceSize.height: 10
                    }
                    Label {
                        objectName: "validationWarning"
                        text: warningRow.modelData
                        textFormat: Text.PlainText
                        color: editorView.warningColor
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                }
            }
        }

        RowLayout {
            objectName: "triggerPreview"
            visible: editorView.form.snippetTitle.length > 0
            spacing: 6
            Layout.fillWidth: true
            Label {
                text: "Trigger:"
                opacity: 0.7
            }
            Label {
                objectName: "triggerText"
                text: ";" + editorView.form.snippetTitle
                textFormat: Text.PlainText
                font.family: "monospace"
                color: palette.highlight
                leftPadding: 8
                rightPadding: 8
                topPadding: 3
                bottomPadding: 3
                elide: Text.ElideRight
                Layout.maximumWidth: editorView.width - 100
                background: Rectangle {
                    radius: 5
                    color: Qt.rgba(palette.highlight.r, palette.highlight.g, palette.highlight.b, 0.12)
                }
            }
        }

        TagInputView {
            id: tagInput
            form: editorView.form
            Layout.fillWidth: true
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
                background: Rectangle {
                    radius: 8
                    color: ThemeColors.secondary
                    border.width: 1
                    border.color: Qt.rgba(contentArea.palette.text.r, contentArea.palette.text.g,
                                          contentArea.palette.text.b, 0.08)
                }

                TextArea {
                    id: contentArea
                    objectName: "contentEditor"
                    textFormat: TextEdit.PlainText
                    wrapMode: TextEdit.Wrap
                    padding: 10
                    background: null

                    // Set from the form, not bound to it: a binding would be rewritten on each
                    // keystroke and put the caret back at the end.
                    property bool updatingFromForm: false
                    Component.onCompleted: {
                        updatingFromForm = true
                        text = editorView.form.snippet
                        updatingFromForm = false
                    }
                    onTextChanged: {
                        if (!updatingFromForm)
                            editorView.form.snippet = DocumentText.plainText(textDocument)
                    }
                    Connections {
                        target: editorView.form
                        function onSnippetChanged() {
                            if (DocumentText.plainText(contentArea.textDocument) === editorView.form.snippet)
                                return
                            contentArea.updatingFromForm = true
                            contentArea.text = editorView.form.snippet
                            contentArea.updatingFromForm = false
                        }
                        // Only the added text is laid out: a stream of generated fragments costs
                        // no more per fragment as the content grows.
                        function onSnippetAppended(text) {
                            contentArea.updatingFromForm = true
                            contentArea.insert(contentArea.length, text)
                            contentArea.updatingFromForm = false
                        }
                    }
                }
            }

            DynamicFieldInsertBar {
                Layout.fillWidth: true
                onInsert: token => editorView.insertField(token)
            }
        }

        AIGenerateButton {
            viewModel: editorView.form.aiGeneration
            snippetTitle: editorView.form.snippetTitle
            Layout.fillWidth: true
            onAccept: text => editorView.form.acceptGeneratedText(text)
            onAppend: text => editorView.form.appendGeneratedText(text)
        }

        Label {
            objectName: "saveError"
            visible: editorView.saveError.length > 0
            text: editorView.saveError
            textFormat: Text.PlainText
            color: editorView.errorColor
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        RowLayout {
            spacing: 10
            Layout.fillWidth: true

            Button {
                objectName: "saveButton"
                text: "Save"
                icon.name: SymbolIcons.iconName("checkmark")
                highlighted: true
                enabled: editorView.form.canSave
                onClicked: editorView.form.saveWithValidation()
            }
            Button {
                objectName: "cancelButton"
                text: "Cancel"
                icon.name: SymbolIcons.iconName("xmark")
                onClicked: editorView.form.cancel()
            }
            Item {
                Layout.fillWidth: true
            }
        }
    }

    Component.onCompleted: titleField.forceActiveFocus()
}
