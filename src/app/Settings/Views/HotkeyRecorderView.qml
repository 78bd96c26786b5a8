import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The field that shows the global hot key and, once clicked, records the next combination
// pressed; beside it the button that restores the default.
RowLayout {
    id: recorderView
    required property HotkeyRecorder recorder

    spacing: 8

    Button {
        id: recordButton
        objectName: "hotkeyRecordButton"
        flat: true
        text: recorderView.recorder.isRecording ? "Press shortcut..." : recorderView.recorder.displayString
        font.family: "monospace"
        leftPadding: 10
        rightPadding: 10
        topPadding: 6
        bottomPadding: 6
        // Keys go to the recorder while it records; the button must not take Space or Return.
        focusPolicy: Qt.NoFocus
        Layout.minimumWidth: 100
        contentItem: Label {
            text: recordButton.text
            font: recordButton.font
            horizontalAlignment: Text.AlignHCenter
            textFormat: Text.PlainText
            opacity: recorderView.recorder.isRecording ? 0.65 : 1
        }
        background: Rectangle {
            radius: 8
            color: recorderView.recorder.isRecording
                   ? Qt.rgba(recordButton.palette.highlight.r, recordButton.palette.highlight.g,
                             recordButton.palette.highlight.b, 0.1)
                   : recordButton.palette.base
            border.width: 1
            border.color: recorderView.recorder.isRecording
                          ? recordButton.palette.highlight
                          : Qt.rgba(recordButton.palette.windowText.r, recordButton.palette.windowText.g,
                                    recordButton.palette.windowText.b, 0.2)
        }
        onClicked: recorderView.recorder.toggleRecording()
    }

    ToolButton {
        objectName: "hotkeyResetButton"
        // A glyph rather than a themed icon, so the button shows without an icon theme.
        text: "\u21BA"
        Accessible.name: help
        focusPolicy: Qt.NoFocus
        opacity: 0.65
        ToolTip.visible: hovered
        ToolTip.text: help
        readonly property string help: "Reset to default (" + recorderView.recorder.defaultDisplayString + ")"
        onClicked: recorderView.recorder.resetToDefault()
    }
}
