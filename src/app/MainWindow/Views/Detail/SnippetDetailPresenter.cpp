#include "MainWindow/Views/Detail/SnippetDetailPresenter.h"

#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"

namespace sablix {

SnippetDetailPresenter::SnippetDetailPresenter(RightPanelModel& rightPanelModel, MiddlePanelModel& middlePanelModel,
                                               const SnippetSettings& settings, DynamicFieldContext previewContext,
                                               bool showTutorial, TutorialFactory makeTutorial,
                                               AIGenerationViewModelFactory makeAIGeneration, QObject* parent)
    : QObject(parent),
      right_(rightPanelModel),
      middle_(middlePanelModel),
      settings_(settings),
      previewContext_(std::move(previewContext)),
      makeAIGeneration_(std::move(makeAIGeneration)),
      showTutorial_(showTutorial),
      makeTutorial_(std::move(makeTutorial)) {
    connect(&right_, &RightPanelModel::isEditingNewSnippetChanged, this, &SnippetDetailPresenter::update);
    connect(&right_, &RightPanelModel::selectedItemChanged, this, [this] {
        setDeleteError({});
        emit selectedItemChanged();
        update();
    });
    connect(&right_, &RightPanelModel::editingSnippetChanged, this, [this] {
        // A working copy replaced while the editor is open (a second "New Snippet") reaches it.
        const SnippetValue working = right_.editingSnippet();
        if (editorOpen_ && working.item()) editor_->replaceSnippet(*working.item());
    });
    update();
}

SnippetValue SnippetDetailPresenter::selectedItem() const { return right_.selectedItem(); }

void SnippetDetailPresenter::update() {
    Content content = Content::Placeholder;
    if (right_.isEditingNewSnippet())
        content = Content::Editor;
    else if (!right_.selectedItem().isNull())
        content = Content::Snippet;
    else if (showTutorial_)
        content = Content::Tutorial;
    if (content == Content::Editor && !editorOpen_) openEditor();
    if (content != Content::Editor && editorOpen_) closeEditor();
    if (content == content_) return;
    if (content == Content::Tutorial) openTutorial();
    content_ = content;
    emit contentChanged();
}

// Each opening starts a form of its own, with no messages yet. The form of the editor last
// closed is let go only now, so a view still bound to it never sees it vanish.
void SnippetDetailPresenter::openEditor() {
    setSaveError({});
    if (editor_) editor_->deleteLater();
    const SnippetValue working = right_.editingSnippet();
    const SnippetItem item =
        working.item() ? *working.item() : SnippetItem(platform::Uuid::generate(), "", "", {}, previewContext_.clock);
    editor_ = new SnippetEditorPresenter(item, middle_.allItems(), settings_, this);
    if (makeAIGeneration_) editor_->setAIGeneration(makeAIGeneration_(editor_));
    editorOpen_ = true;
    connect(editor_, &SnippetEditorPresenter::edited, this,
            [this, form = editor_.data()] { right_.setEditingSnippet(SnippetValue(form->item())); });
    connect(editor_, &SnippetEditorPresenter::saveRequested, this, &SnippetDetailPresenter::save);
    connect(editor_, &SnippetEditorPresenter::cancelRequested, this, &SnippetDetailPresenter::cancel);
    emit editorChanged();
}

// Each time the tutorial comes on screen it starts again at its welcome. The one shown before is
// let go only now, like the editor's form; it no longer reaches this pane.
void SnippetDetailPresenter::openTutorial() {
    if (!makeTutorial_) return;
    if (tutorial_) {
        tutorial_->disconnect(this);
        tutorial_->deleteLater();
    }
    tutorial_ = makeTutorial_().release();
    tutorial_->setParent(this);
    connect(tutorial_, &TutorialPresenter::completed, this, &SnippetDetailPresenter::completeTutorial);
    connect(tutorial_, &TutorialPresenter::snippetCreated, this, &SnippetDetailPresenter::createSnippetFromTutorial);
    emit tutorialChanged();
}

void SnippetDetailPresenter::closeEditor() {
    editor_->disconnect(this);
    editorOpen_ = false;
    setSaveError({});
}

// Only a stored snippet closes the editor: a refused or failed save keeps the editor open with
// the user's text and says why.
void SnippetDetailPresenter::save() {
    const SnippetValue working = right_.editingSnippet();
    const QString reason = middle_.addItem(working);
    if (!reason.isEmpty()) {
        setSaveError(reason);
        return;
    }
    // Showing the saved snippet closes the editor in the same step, with no other view between.
    right_.updateSelectedItem(right_.editingSnippet());
    right_.setIsEditingNewSnippet(false);
    emit selectedSnippetIDWritten(working.id());
}

void SnippetDetailPresenter::cancel() { right_.setIsEditingNewSnippet(false); }

void SnippetDetailPresenter::edit() {
    const SnippetValue shown = right_.selectedItem();
    if (shown.isNull()) return;
    right_.setEditingSnippet(shown);
    right_.setIsEditingNewSnippet(true);
}

// A snippet the library could not remove stays shown, with the reason.
void SnippetDetailPresenter::deleteSelected() {
    const SnippetValue shown = right_.selectedItem();
    if (shown.isNull()) return;
    const QString reason = middle_.deleteItem(shown);
    if (!reason.isEmpty()) {
        setDeleteError(reason);
        return;
    }
    emit selectedSnippetIDWritten(QString());
    right_.updateSelectedItem(SnippetValue());
}

void SnippetDetailPresenter::completeTutorial() { setShowTutorial(false); }

void SnippetDetailPresenter::createSnippetFromTutorial(const SnippetValue& item) {
    setShowTutorial(false);
    right_.setEditingSnippet(item);
    right_.setIsEditingNewSnippet(true);
}

void SnippetDetailPresenter::replayTutorial() { setShowTutorial(true); }

QString SnippetDetailPresenter::previewFor(const QString& content) const {
    return QString::fromStdString(DynamicFieldProcessor::process(content.toStdString(), {}, {}, 0, previewContext_));
}

void SnippetDetailPresenter::setShowTutorial(bool show) {
    if (show == showTutorial_) return;
    showTutorial_ = show;
    emit showTutorialChanged();
    update();
}

void SnippetDetailPresenter::setSaveError(const QString& error) {
    if (error == saveError_) return;
    saveError_ = error;
    emit saveErrorChanged();
}

void SnippetDetailPresenter::setDeleteError(const QString& error) {
    if (error == deleteError_) return;
    deleteError_ = error;
    emit deleteErrorChanged();
}

}  // namespace sablix
