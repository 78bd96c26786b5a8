import QtQuick

// The editor's place for generating content. Generation is not available yet: this takes the
// same inputs as the real control and shows nothing.
Item {
    id: control
    objectName: "aiGenerateButton"

    property var viewModel: null
    property string snippetTitle
    // Each time a generated text arrives; never with an empty text.
    signal accept(string text)

    visible: false
    implicitWidth: 0
    implicitHeight: 0
}
