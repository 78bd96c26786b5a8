
import QtQuick
import QtQuick.Controls
import Sablix

// The main window's right-hand column: the snippet editor, the selected snippet, the first-run
// tutorial or a placeholder, as the presenter decides.
Pane {
    id: pane
    objectName: "detailPane"

    required property SnippetDetailPresenter presenter

    padding: 0

    Loader {
        id: shown
        objectName: "detailContent"
        anchors.fill: parent
        focus: true
        sourceComponent: {
            switch (pane.presenter.content) {
            case SnippetDetailPresenter.Editor:
                return editorComponent
            case SnippetDetailPresenter.Snippet:
                return snippetComponent
            case SnippetDetailPresenter.Tutorial:
                return pane.presenter.tutorial ? tutorialComponent : placeholderComponent
            default:
                return placeholderComponent
            }
        }
    }

    Component {
        id: editorComponent
        SnippetEditorView {
            form: pane.presenter.editor
            saveError: pane.presenter.saveError
        }
    }
    Component {
        id: snippetComponent
        SnippetContentView {
            presenter: pane.presenter
        }
    }
    // The tutorial reports its end to the presenter itself.
    Component {
        id: tutorialComponent
        TutorialView {
            tutorial: pane.presenter.tutorial
        }
    }
    Component {
        id: placeholderComponent
        SnippetPlaceholderView {}
    }
}
