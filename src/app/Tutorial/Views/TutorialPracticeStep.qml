import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Sablix

// The tutorial's practice: a field in which ";addr" (or any snippet's trigger) turns into its
// text, a hint while a trigger is part-typed, and the way on once it has expanded.
ColumnLayout {
    id: step
    objectName: "tutorialPracticeStep"

    property string practiceText
    property bool hasExpanded
    property bool showSuccess
    // Empty for none.
    property string triggerProgress

    signal practiceTextEdited(string text)
    signal next
    signal back

    readonly property color accent: palette.highlight

    spacing: 20

    // The field takes the tutorial's text only when it differs, so typing keeps its caret.
    onPracticeTextChanged: if (editor.text !== practiceText) editor.text = practiceText
    Component.onCompleted: {
        editor.text = practiceText
        takeFocus()
    }
    // The step is enabled as it comes on screen: the user types at once, without a click first.
    // Later in this turn, when the field is enabled too.
    onEnabledChanged: Qt.callLater(takeFocus)

    function takeFocus() {
        if (step.enabled && !step.hasExpanded)
            editor.forceActiveFocus()
    }

    ColumnLayout {
        spacing: 8
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignHCenter
        Label {
            text: "Try it yourself"
            textFormat: Text.PlainText
            font.pointSize: Qt.application.font.pointSize + 5
            font.weight: Font.DemiBold
            Layout.alignment: Qt.AlignHCenter
        }
        RowLayout {
            spacing: 4
            Layout.alignment: Qt.AlignHCenter
            Label {
                text: "Type"
                opacity: 0.7
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            }
            Label {
                text: ";addr"
                textFormat: Text.PlainText
                color: step.accent
                font.family: "monospace"
                font.weight: Font.DemiBold
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
                leftPadding: 8
                rightPadding: 8
                topPadding: 3
                bottomPadding: 3
                background: Rectangle {
                    radius: 5
                    color: Qt.rgba(step.accent.r, step.accent.g, step.accent.b, 0.12)
                }
            }
            Label {
                text: "in the field below."
                opacity: 0.7
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            }
        }
    }

    ColumnLayout {
        spacing: 6
        Layout.fillWidth: true
        Layout.maximumWidth: 380
        Layout.alignment: Qt.AlignHCenter

        Rectangle {
            id: editorFrame
            radius: 8
            color: ThemeColors.secondary
            border.width: step.hasExpanded || step.triggerProgress.length > 0 ? 2 : 1
            border.color: step.hasExpanded
                          ? Qt.rgba(ThemeColors.success.r, ThemeColors.success.g, ThemeColors.success.b, 0.5)
                          : step.triggerProgress.length > 0
                            ? Qt.rgba(step.accent.r, step.accent.g, step.accent.b, 0.4)
                            : Qt.rgba(step.palette.windowText.r, step.palette.windowText.g,
                                      step.palette.windowText.b, 0.08)
            Layout.fillWidth: true
            Layout.preferredHeight: 140
            Layout.minimumHeight: 120
            Layout.maximumHeight: 160

            ScrollView {
                anchors.fill: parent
                anchors.margins: 2

                TextArea {
                    id: editor
                    objectName: "practiceEditor"
                    textFormat: TextEdit.PlainText
                    wrapMode: TextEdit.Wrap
                    padding: 8
                    enabled: !step.hasExpanded
                    background: null
                    onTextChanged: if (text !== step.practiceText) step.practiceTextEdited(text)
                }
            }
        }

        RowLayout {
            objectName: "triggerHint"
            readonly property bool shown: !step.hasExpanded && step.triggerProgress.length > 0
            spacing: 4
            opacity: shown ? 1 : 0
            visible: opacity > 0
            Behavior on opacity { NumberAnimation { duration: 150; easing.type: Easing.OutQuad } }
            SymbolImage {
                symbol: "arrow.right.circle"
                size: 12
                color: step.accent
            }
            Label {
                text: "Keep typing..."
                opacity: 0.7
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
            }
            Label {
                objectName: "triggerHintText"
                text: step.triggerProgress
                textFormat: Text.PlainText
                color: step.accent
                font.family: "monospace"
                font.weight: Font.Medium
                font.pointSize: Math.max(1, Qt.application.font.pointSize - 2)
            }
        }
    }

    RowLayout {
        objectName: "practiceSuccess"
        spacing: 6
        opacity: step.showSuccess ? 1 : 0
        visible: opacity > 0
        Layout.alignment: Qt.AlignHCenter
        transform: Translate {
            y: step.showSuccess ? 0 : -8
            Behavior on y { NumberAnimation { duration: 300; easing.type: Easing.InOutQuad } }
        }
        Behavior on opacity { NumberAnimation { duration: 300; easing.type: Easing.InOutQuad } }
        SymbolImage {
            symbol: "checkmark.circle.fill"
            color: ThemeColors.success
        }
        Label {
            text: "It expanded! This is how Sablix works in every app."
            opacity: 0.7
            wrapMode: Text.Wrap
            font.pointSize: Math.max(1, Qt.application.font.pointSize - 1)
            Layout.maximumWidth: step.width - 24
        }
    }

    RowLayout {
        spacing: 12
        Layout.alignment: Qt.AlignHCenter
        Button {
            id: backButton
            objectName: "practiceBackButton"
            text: "Back"
            onClicked: step.back()
        }
        Button {
            objectName: "practiceNextButton"
            text: "Next"
            highlighted: true
            enabled: step.hasExpanded
            // Narrower where the pane is.
            Layout.preferredWidth: Math.min(200, step.width - backButton.width - 12)
            onClicked: step.next()
        }
    }
}
