import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The editor's control for having AI write the content: an optional prompt hint, then Generate,
// Stop or Regenerate, then the last error. All state is the view model's; the control's only
// outputs are accept and append, through which the content fills while the answer streams in.
ColumnLayout {
    id: control
    objectName: "aiGenerateButton"

    property var viewModel: null
    property string snippetTitle
    // A generated text that stands whole: the first fragment of an answer, or one set whole.
    signal accept(string text)
    // Each later fragment, to go at the end of what accept and append gave so far: handing over
    // only the fragment keeps its cost from growing with the answer.
    signal append(string text)

    // Over Generate or Regenerate; one flag serves both.
    property bool isGenerateHovered: false

    readonly property real captionSize: Math.max(1, Qt.application.font.pointSize - 2)
    readonly property real caption2Size: Math.max(1, Qt.application.font.pointSize - 3)

    function regenerate() {
        viewModel.stop()
        viewModel.generatedText = ""
        viewModel.generate(snippetTitle)
    }

    visible: viewModel !== null
    spacing: 8

    Connections {
        target: control.viewModel
        function onGeneratedTextAppended(added, whole) {
            if (whole)
                control.accept(added)
            else
                control.append(added)
        }
    }

    ColumnLayout {
        spacing: 6
        Layout.fillWidth: true

        AbstractButton {
            id: hintToggle
            objectName: "promptHintToggle"
            focusPolicy: Qt.NoFocus
            opacity: 0.6
            // Symbols here are text, so they show whatever icon theme the desktop has.
            contentItem: RowLayout {
                spacing: 4
                Label {
                    text: control.viewModel && control.viewModel.showPromptHint ? "\u25BE" : "\u25B8"
                    textFormat: Text.PlainText
                    font.pointSize: control.caption2Size
                }
                Label {
                    text: "AI Prompt Hint"
                    font.pointSize: control.captionSize
                }
            }
            onClicked: control.viewModel.showPromptHint = !control.viewModel.showPromptHint
        }

        TextField {
            id: hintField
            objectName: "promptHintField"
            visible: opacity > 0
            opacity: control.viewModel && control.viewModel.showPromptHint ? 1 : 0
            Behavior on opacity {
                NumberAnimation {
                    duration: 150
                    easing.type: Easing.InOutQuad
                }
            }
            placeholderText: "e.g. formal business email, casual greeting..."
            font.pointSize: control.captionSize
            padding: 8
            Layout.fillWidth: true
            text: control.viewModel ? control.viewModel.promptHint : ""
            onTextEdited: control.viewModel.promptHint = text
            background: Rectangle {
                radius: 6
                color: ThemeColors.secondary
                border.width: 1
                border.color: Qt.rgba(hintField.palette.text.r, hintField.palette.text.g, hintField.palette.text.b,
                                      0.08)
            }
        }
    }

    RowLayout {
        spacing: 8

        BusyIndicator {
            objectName: "generationSpinner"
            visible: control.viewModel !== null && control.viewModel.isGenerating
            running: visible
            implicitWidth: 20
            implicitHeight: 20
            padding: 0
        }
        Button {
            objectName: "stopButton"
            visible: control.viewModel !== null && control.viewModel.isGenerating
            text: "\u25A0  Stop"
            font.pointSize: control.captionSize
            focusPolicy: Qt.NoFocus
            onClicked: control.viewModel.stop()
        }
        GenerateStyleButton {
            objectName: "generateButton"
            visible: control.viewModel !== null && !control.viewModel.isGenerating
                     && !control.viewModel.hasGeneratedText
            symbol: "\u2726"
            text: "Generate with AI"
            onClicked: control.viewModel.generate(control.snippetTitle)
        }
        GenerateStyleButton {
            objectName: "regenerateButton"
            visible: control.viewModel !== null && !control.viewModel.isGenerating
                     && control.viewModel.hasGeneratedText
            symbol: "\u21BB"
            text: "Regenerate"
            onClicked: control.regenerate()
        }
    }

    Label {
        objectName: "generationError"
        visible: text.length > 0
        text: control.viewModel ? control.viewModel.errorMessage : ""
        textFormat: Text.PlainText
        font.pointSize: control.captionSize
        color: ThemeColors.error
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }

    // Generate and Regenerate: the symbol before the text, in the accent colour, on a light fill
    // of it that deepens under the pointer.
    component GenerateStyleButton: AbstractButton {
        id: styled
        // A text symbol.
        property string symbol
        focusPolicy: Qt.NoFocus
        hoverEnabled: true
        leftPadding: 10
        rightPadding: 10
        topPadding: 6
        bottomPadding: 6
        onHoveredChanged: control.isGenerateHovered = hovered
        contentItem: RowLayout {
            spacing: 4
            Label {
                text: styled.symbol
                textFormat: Text.PlainText
                color: styled.palette.highlight
                font.pointSize: control.captionSize
            }
            Label {
                text: styled.text
                textFormat: Text.PlainText
                color: styled.palette.highlight
                font.pointSize: control.captionSize
                font.weight: Font.Medium
            }
        }
        background: Rectangle {
            radius: 6
            color: Qt.rgba(styled.palette.highlight.r, styled.palette.highlight.g, styled.palette.highlight.b,
                           control.isGenerateHovered ? 0.2 : 0.12)
            Behavior on color {
                ColorAnimation {
                    duration: 150
                    easing.type: Easing.InOutQuad
                }
            }
        }
    }
}
