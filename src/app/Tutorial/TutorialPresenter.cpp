#include "Tutorial/TutorialPresenter.h"

#include <QPointer>
#include <QVariantMap>

#include "Snippets/SnippetController.h"
#include "Analytics/AnalyticsTracking.h"
#include "Snippets/SnippetValidation.h"
#include "Tutorial/SnippetTemplate.h"
#include "Tutorial/TutorialManager.h"
#include "platform/TextRules.h"

namespace sablix {

TutorialPresenter::TutorialPresenter(Collaborators collaborators, QObject* parent)
    : QObject(parent), c_(collaborators) {}

QVariantList TutorialPresenter::templates() const {
    const std::vector<SnippetItem> library = SnippetController(c_.userDefaults, c_.clock).loadItems();
    QVariantList rows;
    for (const SnippetTemplate& entry : snippetTemplates())
        rows.append(QVariantMap{{"icon", QString::fromStdString(entry.icon)},
                                {"label", QString::fromStdString(entry.label)},
                                {"title", QString::fromStdString(offeredTitle(entry, library))}});
    return rows;
}

// When the editor would take no title for the template, its own; the editor then says why.
std::string TutorialPresenter::offeredTitle(const SnippetTemplate& entry,
                                            const std::vector<SnippetItem>& library) const {
    const SnippetItem item(platform::Uuid::generate(), entry.title, entry.content, {}, c_.clock);
    return firstAcceptedTitle(item, library, c_.snippetSettings).value_or(entry.title);
}

void TutorialPresenter::setPracticeText(const QString& text) {
    if (text == practiceText_) return;
    practiceText_ = text;
    emit practiceTextChanged();
    checkForExpansion(text);
}

std::string TutorialPresenter::trailingWord(const std::string& text) {
    const size_t separator = text.find_last_of(" \n");
    return separator == std::string::npos ? text : text.substr(separator + 1);
}

// The library is read afresh each time, so a snippet saved a moment ago already counts. Its
// triggers are tried before the built-in one; the first snippet that decides wins.
void TutorialPresenter::checkForExpansion(const QString& text) {
    if (hasExpanded_) return;
    const std::vector<SnippetItem> library = SnippetController(c_.userDefaults, c_.clock).loadItems();
    const std::string lowered = platform::text::lowercased(text.toStdString());
    const std::string word = trailingWord(lowered);
    const auto isTyping = [&word](const std::string& trigger) {
        return platform::text::hasPrefix(word, ";") && platform::text::hasPrefix(trigger, word) &&
               platform::text::length(word) < platform::text::length(trigger);
    };
    // Contained in the lowered text does not always mean found in the text as typed (case
    // mappings that change the length); then the snippet can still be part-typed.
    const auto expandFirst = [&](const QString& typed, const QString& replacement) {
        const qsizetype at = text.indexOf(typed, 0, Qt::CaseInsensitive);
        if (at < 0) return false;
        expand(text, at, typed.size(), replacement);
        return true;
    };

    for (const SnippetItem& snippet : library) {
        // A snippet without a title would fire on a lone ";"; the engine leaves such snippets out.
        if (snippet.snippetTitle.empty()) continue;
        const std::string trigger = ";" + platform::text::lowercased(snippet.snippetTitle);
        const QString typed = QStringLiteral(";") + QString::fromStdString(snippet.snippetTitle);
        if (platform::text::contains(lowered, trigger) && expandFirst(typed, QString::fromStdString(snippet.snippet)))
            return;
        if (isTyping(trigger)) {
            setTriggerProgress(typed);
            return;
        }
    }

    const QString builtIn = QString::fromLatin1(kPracticeTrigger);
    if (platform::text::contains(lowered, kPracticeTrigger)) {
        if (expandFirst(builtIn, QString::fromUtf8(kSampleAddress))) return;
    } else if (isTyping(kPracticeTrigger)) {
        setTriggerProgress(builtIn);
        return;
    }
    setTriggerProgress(QString());
}

// The field shows the expansion a moment after the trigger is complete. Each complete trigger
// schedules its own step; a step whose tutorial is gone is dropped.
void TutorialPresenter::expand(const QString& text, qsizetype at, qsizetype length, const QString& replacement) {
    setTriggerProgress(QString());
    QString expanded = text;
    expanded.replace(at, length, replacement);
    c_.mainQueue.asyncAfter(kExpansionDelay, [self = QPointer<TutorialPresenter>(this), expanded] {
        if (self) self->finishExpansion(expanded);
    });
}

// Setting the text here does not check it again: once expanded, the practice is over.
void TutorialPresenter::finishExpansion(const QString& expanded) {
    if (expanded != practiceText_) {
        practiceText_ = expanded;
        emit practiceTextChanged();
    }
    if (!hasExpanded_) {
        hasExpanded_ = true;
        emit hasExpandedChanged();
    }
    if (!showSuccess_) {
        showSuccess_ = true;
        emit showSuccessChanged();
    }
    c_.analytics.track(AnalyticsEvent::tutorialPracticeSuccess);
}

void TutorialPresenter::getStarted() {
    if (currentStep_ != TutorialStep::welcome) return;
    c_.analytics.track(AnalyticsEvent::tutorialStarted);
    setCurrentStep(TutorialStep::practice);
}

void TutorialPresenter::skip() {
    if (currentStep_ != TutorialStep::welcome) return;
    c_.manager.skipTutorial();
    emit completed();
}

void TutorialPresenter::back() {
    if (currentStep_ == TutorialStep::practice) setCurrentStep(TutorialStep::welcome);
}

void TutorialPresenter::next() {
    if (currentStep_ == TutorialStep::practice && hasExpanded_) setCurrentStep(TutorialStep::complete);
}

void TutorialPresenter::chooseTemplate(int index) {
    const auto& templates = snippetTemplates();
    if (currentStep_ != TutorialStep::complete || index < 0 || static_cast<size_t>(index) >= templates.size()) return;
    const SnippetTemplate& entry = templates[static_cast<size_t>(index)];
    createSnippet(offeredTitle(entry, SnippetController(c_.userDefaults, c_.clock).loadItems()), entry.content);
}

void TutorialPresenter::startFromScratch() {
    if (currentStep_ == TutorialStep::complete) createSnippet("", "");
}

void TutorialPresenter::done() {
    if (currentStep_ != TutorialStep::complete) return;
    c_.manager.completeTutorial();
    emit completed();
}

// The tutorial is marked complete before the host sees the snippet.
void TutorialPresenter::createSnippet(const std::string& title, const std::string& content) {
    SnippetItem item(platform::Uuid::generate(), title, content, {}, c_.clock);
    c_.manager.completeTutorial();
    emit snippetCreated(SnippetValue(std::move(item)));
}

void TutorialPresenter::setCurrentStep(TutorialStep step) {
    if (step == currentStep_) return;
    currentStep_ = step;
    emit currentStepChanged();
    if (step == TutorialStep::complete) emit templatesChanged();
}

void TutorialPresenter::setTriggerProgress(const QString& trigger) {
    if (trigger == triggerProgress_) return;
    triggerProgress_ = trigger;
    emit triggerProgressChanged();
}

}  // namespace sablix
