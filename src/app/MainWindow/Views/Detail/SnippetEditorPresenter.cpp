#include "MainWindow/Views/Detail/SnippetEditorPresenter.h"

#include <algorithm>
#include <utility>

#include "MainWindow/SnippetEditorRules.h"
#include "Snippets/SnippetSettings.h"

namespace sablix {

SnippetEditorPresenter::SnippetEditorPresenter(SnippetItem snippet, const std::vector<SnippetItem>& existingSnippets,
                                               const SnippetSettings& settings, QObject* parent)
    : QObject(parent),
      item_(std::move(snippet)),
      title_(QString::fromStdString(item_.snippetTitle)),
      content_(QString::fromStdString(item_.snippet)),
      existingSnippets_(existingSnippets),
      settings_(settings) {
    canSave_ = editorRules::canSave(item_.snippetTitle, item_.snippet, {});
    // The settings sheet changes the rules while the editor may be open: what it shows follows.
    const auto revalidate = [this] {
        if (validated_) validate();
    };
    connect(&settings_, &SnippetSettings::maxTitleLengthChanged, this, revalidate);
    connect(&settings_, &SnippetSettings::autoRemoveWhitespaceChanged, this, revalidate);
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleIntervalMs);
    connect(&settleTimer_, &QTimer::timeout, this, &SnippetEditorPresenter::settleAppended);
}

QStringList SnippetEditorPresenter::tags() const {
    QStringList list;
    for (const auto& tag : item_.tags) list << QString::fromStdString(tag);
    return list;
}

void SnippetEditorPresenter::setSnippetTitle(const QString& title) {
    if (title == title_) return;
    const std::string normalized =
        editorRules::normalizedTitle(title.toStdString(), settings_.autoRemoveWhitespace(), settings_.maxTitleLength());
    item_.snippetTitle = normalized;
    title_ = QString::fromStdString(normalized);
    // Also when normalising led back to the title as it was: the field still shows what was typed.
    emit snippetTitleChanged();
    validate();
    emit edited();
}

void SnippetEditorPresenter::setSnippet(const QString& content) {
    // An edit while generated text waits to be shown: that text still follows what the editor
    // holds, and the editor is given the whole content again.
    const bool editorLacksSome = !unshownAppend_.isEmpty();
    const QString whole = editorLacksSome ? content + std::exchange(unshownAppend_, QString()) : content;
    if (whole == content_ && !editorLacksSome) return;
    // What follows tells of the appended content too.
    settleTimer_.stop();
    content_ = whole;
    item_.snippet = whole.toStdString();
    emit snippetChanged();
    validate();
    emit edited();
}

void SnippetEditorPresenter::saveWithValidation() {
    if (settleTimer_.isActive()) settleAppended();
    if (validate().isValid) emit saveRequested();
}

void SnippetEditorPresenter::insertField(const QString& token, int selectionStart, int selectionEnd) {
    std::optional<editorRules::TextSelection> selection;
    if (selectionStart >= 0 && selectionEnd >= selectionStart)
        selection = editorRules::TextSelection{selectionStart, selectionEnd - selectionStart};
    setSnippet(editorRules::contentWithField(content_, token, selection));
}

void SnippetEditorPresenter::addTag(const QString& typed) {
    const auto tag = editorRules::tagToAdd(typed.toStdString(), item_.tags);
    if (!tag) return;
    item_.tags.push_back(*tag);
    emit tagsChanged();
    emit edited();
}

void SnippetEditorPresenter::removeTag(const QString& tag) {
    const std::string text = tag.toStdString();
    const auto removed = std::remove(item_.tags.begin(), item_.tags.end(), text);
    if (removed == item_.tags.end()) return;
    item_.tags.erase(removed, item_.tags.end());
    emit tagsChanged();
    emit edited();
}

void SnippetEditorPresenter::acceptGeneratedText(const QString& text) {
    if (text.isEmpty()) return;
    unshownAppend_.clear();
    setSnippet(text);
}

void SnippetEditorPresenter::appendGeneratedText(const QString& text) {
    if (text.isEmpty()) return;
    content_ += text;
    item_.snippet += text.toStdString();
    unshownAppend_ += text;
    if (!settleTimer_.isActive()) settleTimer_.start();
}

void SnippetEditorPresenter::settleAppended() {
    settleTimer_.stop();
    if (!unshownAppend_.isEmpty()) emit snippetAppended(std::exchange(unshownAppend_, QString()));
    emit snippetChanged();
    validate();
    emit edited();
}

void SnippetEditorPresenter::setAIGeneration(AIGenerationViewModel* model) {
    aiGeneration_ = model;
    if (!model) return;
    model->setParent(this);
    // The end of a generation shows what it brought at once.
    connect(model, &AIGenerationViewModel::isGeneratingChanged, this, [this, model] {
        if (!model->isGenerating() && settleTimer_.isActive()) settleAppended();
    });
}

void SnippetEditorPresenter::replaceSnippet(const SnippetItem& snippet) {
    if (snippet == item_) return;
    // The host's copy is the truth now, generated text not yet shown included or not.
    unshownAppend_.clear();
    const bool tagsDiffer = snippet.tags != item_.tags;
    const QString title = QString::fromStdString(snippet.snippetTitle);
    const QString content = QString::fromStdString(snippet.snippet);
    // Fields the editor never writes come over as they are; title and content as changes.
    SnippetItem others = snippet;
    others.snippetTitle = item_.snippetTitle;
    others.snippet = item_.snippet;
    item_ = std::move(others);
    if (tagsDiffer) emit tagsChanged();
    setSnippetTitle(title);
    setSnippet(content);
    emit edited();
}

SnippetValidationResult SnippetEditorPresenter::validate() {
    validated_ = true;
    SnippetValidationResult result = item_.validate(existingSnippets_, settings_);
    const auto shown = editorRules::displayableErrors(result.errors);
    displayableErrors_.clear();
    for (const auto& error : shown) displayableErrors_ << QString::fromStdString(error.localizedDescription());
    warnings_.clear();
    for (const auto& warning : result.warnings) warnings_ << QString::fromStdString(warning);
    canSave_ = editorRules::canSave(item_.snippetTitle, item_.snippet, shown);
    emit validationChanged();
    return result;
}

}  // namespace sablix
