#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QtQml/qqmlregistration.h>
#include <vector>

#include "Generation/AIGenerationViewModel.h"
#include "Snippets/SnippetItem.h"
#include "Snippets/SnippetValidation.h"

namespace sablix {

class SnippetSettings;

// The snippet editor's working copy and what it decides about it: the title kept in the shape
// the trigger needs, live validation after each change of title or content, whether Save is
// offered, the tags, and where a dynamic field goes. One per opening of the editor; the view
// only shows it and forwards input.
class SnippetEditorPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each editor's form is made by the detail pane's presenter.")
    Q_PROPERTY(QString snippetTitle READ snippetTitle WRITE setSnippetTitle NOTIFY snippetTitleChanged)
    Q_PROPERTY(QString snippet READ snippet WRITE setSnippet NOTIFY snippetChanged)
    Q_PROPERTY(QStringList tags READ tags NOTIFY tagsChanged)
    Q_PROPERTY(QStringList displayableErrors READ displayableErrors NOTIFY validationChanged)
    Q_PROPERTY(QStringList validationWarnings READ validationWarnings NOTIFY validationChanged)
    Q_PROPERTY(bool canSave READ canSave NOTIFY validationChanged)
    // The editor's generation model; null where generation is not offered.
    Q_PROPERTY(sablix::AIGenerationViewModel* aiGeneration READ aiGeneration CONSTANT)

public:
    static constexpr int kSettleIntervalMs = 100;

    // existingSnippets is read at each validation, so it sees the list as it is then. No message
    // shows until the first change or Save, even for a stored snippet that would fail; from then
    // on every change of the settings validates again.
    SnippetEditorPresenter(SnippetItem snippet, const std::vector<SnippetItem>& existingSnippets,
                           const SnippetSettings& settings, QObject* parent = nullptr);

    const SnippetItem& item() const { return item_; }

    QString snippetTitle() const { return title_; }
    // Every change, typed or written, loses its ";", loses its spaces when the settings say so
    // and is cut to the longest title allowed; then the snippet is validated.
    void setSnippetTitle(const QString& title);
    QString snippet() const { return content_; }
    void setSnippet(const QString& content);
    QStringList tags() const;
    QStringList displayableErrors() const { return displayableErrors_; }
    QStringList validationWarnings() const { return warnings_; }
    bool canSave() const { return canSave_; }
    AIGenerationViewModel* aiGeneration() const { return aiGeneration_; }
    // Set once, before any view sees the form; the form owns the model from then on.
    void setAIGeneration(AIGenerationViewModel* model);

    // Validates and asks for the save only when the snippet passes.
    Q_INVOKABLE void saveWithValidation();
    Q_INVOKABLE void cancel() { emit cancelRequested(); }
    // Puts a field token in place of the content editor's selection (UTF-16 offsets); a negative
    // start means the content editor is not the one being edited, so the token goes at the end.
    Q_INVOKABLE void insertField(const QString& token, int selectionStart, int selectionEnd);
    // Adds the typed tag, trimmed and lower-cased, unless the snippet has it already.
    Q_INVOKABLE void addTag(const QString& typed);
    // Removes every tag equal to the given text; a tag that differs in case stays.
    Q_INVOKABLE void removeTag(const QString& tag);
    // Generated content replaces the content whole; an empty text changes nothing.
    Q_INVOKABLE void acceptGeneratedText(const QString& text);
    // More generated content goes at the end, at a cost that does not grow with the content: the
    // content takes it at once, the editor gets only the added text (snippetAppended), and both
    // that and what looks at the whole snippet (snippetChanged, validation, edited) follow at most
    // once per kSettleIntervalMs, so a fast stream costs the window one update per interval. They
    // follow at once when the generation ends, and when the snippet is saved or changed otherwise.
    Q_INVOKABLE void appendGeneratedText(const QString& text);
    // Takes over a working copy that the host replaced while the editor is open, as changes of
    // title and content.
    void replaceSnippet(const SnippetItem& snippet);

signals:
    void snippetTitleChanged();
    void snippetChanged();
    // The text went at the end of the content; snippetChanged follows later.
    void snippetAppended(const QString& text);
    void tagsChanged();
    void validationChanged();
    // The working copy changed (title, content or tags).
    void edited();
    void saveRequested();
    void cancelRequested();

private:
    SnippetValidationResult validate();
    // Tells of the content appended since the last time.
    void settleAppended();

    SnippetItem item_;
    QString title_;
    QString content_;
    const std::vector<SnippetItem>& existingSnippets_;
    const SnippetSettings& settings_;
    QStringList displayableErrors_;
    QStringList warnings_;
    bool canSave_ = false;
    AIGenerationViewModel* aiGeneration_ = nullptr;
    // Messages show once the snippet was first changed or saved.
    bool validated_ = false;
    QTimer settleTimer_;
    // Generated text in the content that the editor has not been given yet.
    QString unshownAppend_;
};

}  // namespace sablix
