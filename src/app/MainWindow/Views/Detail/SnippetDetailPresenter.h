#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <QtQml/qqmlregistration.h>

#include "MainWindow/SnippetValue.h"
#include "Snippets/DynamicFieldProcessor.h"
#include "Tutorial/TutorialPresenter.h"
#include "MainWindow/Views/Detail/SnippetEditorPresenter.h"

namespace sablix {

class MiddlePanelModel;
class RightPanelModel;
class SnippetSettings;

// What the detail pane shows and does: the choice between the editor, the selected snippet,
// the tutorial and the placeholder; the editor's Save and Cancel, the snippet's Edit and Delete,
// the tutorial's callbacks; the live preview of dynamic fields. The pane's view only shows it.
class SnippetDetailPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The detail pane's presenter is made by the composition root.")
    Q_PROPERTY(Content content READ content NOTIFY contentChanged)
    Q_PROPERTY(sablix::SnippetValue selectedItem READ selectedItem NOTIFY selectedItemChanged)
    Q_PROPERTY(sablix::SnippetEditorPresenter* editor READ editor NOTIFY editorChanged)
    Q_PROPERTY(bool showTutorial READ showTutorial NOTIFY showTutorialChanged)
    // The tutorial on show; none without a way to make one.
    Q_PROPERTY(sablix::TutorialPresenter* tutorial READ tutorial NOTIFY tutorialChanged)
    Q_PROPERTY(QString saveError READ saveError NOTIFY saveErrorChanged)
    Q_PROPERTY(QString deleteError READ deleteError NOTIFY deleteErrorChanged)
    Q_PROPERTY(int previewRefreshInterval READ previewRefreshInterval CONSTANT)

public:
    enum class Content { Editor, Snippet, Tutorial, Placeholder };
    Q_ENUM(Content)

    // How often a preview of dynamic fields is computed again while it is shown, so that the
    // time and the clipboard stay current.
    static constexpr int kPreviewRefreshIntervalMs = 2000;

    // Makes the state of one showing of the tutorial.
    using TutorialFactory = std::function<std::unique_ptr<TutorialPresenter>()>;

    // previewContext gives the preview its clock (which also dates a blank snippet the editor
    // opens on), locale, time zone and clipboard; showTutorial
    // is whether the first-run tutorial is still to be offered; each time the tutorial comes on
    // screen, makeTutorial gives it a fresh start. makeAIGeneration gives each editor its
    // generation model; without it the editor offers no generation.
    SnippetDetailPresenter(RightPanelModel& rightPanelModel, MiddlePanelModel& middlePanelModel,
                           const SnippetSettings& settings, DynamicFieldContext previewContext, bool showTutorial,
                           TutorialFactory makeTutorial = {}, AIGenerationViewModelFactory makeAIGeneration = {},
                           QObject* parent = nullptr);

    Content content() const { return content_; }
    SnippetValue selectedItem() const;
    // The form of the open editor; after it closed, the last one, no longer heard.
    SnippetEditorPresenter* editor() const { return editor_; }
    bool showTutorial() const { return showTutorial_; }
    TutorialPresenter* tutorial() const { return tutorial_; }
    // Why the last Save did not store the snippet; empty after a save that worked.
    QString saveError() const { return saveError_; }
    // Why the last Delete did not remove the snippet.
    QString deleteError() const { return deleteError_; }
    int previewRefreshInterval() const { return kPreviewRefreshIntervalMs; }

    // The shown snippet's Edit: the editor opens on a copy of it.
    Q_INVOKABLE void edit();
    // The shown snippet's Delete, at once and without asking.
    Q_INVOKABLE void deleteSelected();
    Q_INVOKABLE void completeTutorial();
    Q_INVOKABLE void createSnippetFromTutorial(const sablix::SnippetValue& item);
    // The user asked to see the tutorial again.
    void replayTutorial();

    // What expanding the content would give now; snippet references stay as written.
    Q_INVOKABLE QString previewFor(const QString& content) const;

signals:
    void contentChanged();
    void selectedItemChanged();
    void editorChanged();
    void showTutorialChanged();
    void tutorialChanged();
    void saveErrorChanged();
    void deleteErrorChanged();
    // The window's selected snippet is to become this identifier ("" for none): after a save
    // the saved snippet, after a delete none.
    void selectedSnippetIDWritten(const QString& id);

private:
    void save();
    void cancel();
    void update();
    void openEditor();
    void closeEditor();
    void openTutorial();
    void setShowTutorial(bool show);
    void setSaveError(const QString& error);
    void setDeleteError(const QString& error);

    RightPanelModel& right_;
    MiddlePanelModel& middle_;
    const SnippetSettings& settings_;
    DynamicFieldContext previewContext_;
    AIGenerationViewModelFactory makeAIGeneration_;
    bool showTutorial_;
    TutorialFactory makeTutorial_;
    QPointer<TutorialPresenter> tutorial_;
    Content content_ = Content::Placeholder;
    QPointer<SnippetEditorPresenter> editor_;
    bool editorOpen_ = false;
    QString saveError_;
    QString deleteError_;
};

}  // namespace sablix
