#pragma once
#include <chrono>
#include <string>
#include <vector>

#include <QObject>
#include <QString>
#include <QVariantList>

#include "MainWindow/SnippetValue.h"
#include "Tutorial/TutorialStep.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/DispatchQueue.h"

namespace sablix {

class AnalyticsTracking;
class SnippetSettings;
class TutorialManager;
struct SnippetTemplate;

// The state of one showing of the first-run tutorial: the step on screen, the practice field and
// its expansion, and the ways out. The keystroke engine leaves the application's own window
// alone, so the practice field expands here, by the engine's ";" + title rule over the personal
// library, with ";addr" built in. A new instance starts at the welcome; going back and forth
// between steps keeps everything. Lives on the main thread.
class TutorialPresenter final : public QObject {
    Q_OBJECT
    // The raw value of the TutorialStep on screen.
    Q_PROPERTY(int currentStep READ currentStepValue NOTIFY currentStepChanged)
    Q_PROPERTY(QString practiceText READ practiceText WRITE setPracticeText NOTIFY practiceTextChanged)
    Q_PROPERTY(bool hasExpanded READ hasExpanded NOTIFY hasExpandedChanged)
    Q_PROPERTY(bool showSuccess READ showSuccess NOTIFY showSuccessChanged)
    // The full trigger the user is part-way through typing; empty for none.
    Q_PROPERTY(QString triggerProgress READ triggerProgress NOTIFY triggerProgressChanged)
    // The starter templates' rows: maps of "icon", "label" and "title", the title each is offered
    // under. Read afresh as the last step shows.
    Q_PROPERTY(QVariantList templates READ templates NOTIFY templatesChanged)

public:
    // Between a complete trigger and the expanded text showing in the field.
    static constexpr std::chrono::milliseconds kExpansionDelay{150};
    // Works even with an empty library.
    static constexpr const char* kPracticeTrigger = ";addr";
    static constexpr const char* kSampleAddress = "123 Main Street\nApt 4B\nNew York, NY 10001";

    struct Collaborators {
        TutorialManager& manager;
        // Where the personal library is read from, afresh at every change of the practice text.
        platform::Defaults& userDefaults;
        AnalyticsTracking& analytics;
        // Runs the delayed step of an expansion on the main thread.
        platform::Executor& mainQueue;
        // Dates the snippets handed to the host.
        const platform::Clock& clock;
        // The title rules the editor will check a template's snippet against.
        const SnippetSettings& snippetSettings;
    };

    explicit TutorialPresenter(Collaborators collaborators, QObject* parent = nullptr);

    TutorialStep currentStep() const { return currentStep_; }
    int currentStepValue() const { return static_cast<int>(currentStep_); }
    QString practiceText() const { return practiceText_; }
    // The user changed the practice text; every change is checked for a trigger.
    void setPracticeText(const QString& text);
    bool hasExpanded() const { return hasExpanded_; }
    bool showSuccess() const { return showSuccess_; }
    QString triggerProgress() const { return triggerProgress_; }
    QVariantList templates() const;

    // Welcome: "Get Started" and "Skip".
    Q_INVOKABLE void getStarted();
    Q_INVOKABLE void skip();
    // Practice: "Back", and "Next", which does nothing before the first expansion.
    Q_INVOKABLE void back();
    Q_INVOKABLE void next();
    // Complete: a template row (by its place in templates), "Start from scratch" and "Done".
    Q_INVOKABLE void chooseTemplate(int index);
    Q_INVOKABLE void startFromScratch();
    Q_INVOKABLE void done();

    // The text after the last space or line feed; the whole text when there is none.
    static std::string trailingWord(const std::string& text);

signals:
    void currentStepChanged();
    void practiceTextChanged();
    void hasExpandedChanged();
    void showSuccessChanged();
    void triggerProgressChanged();
    void templatesChanged();
    // The tutorial is over; the host stops showing it.
    void completed();
    // The tutorial is over and hands the host a new, unsaved snippet to edit.
    void snippetCreated(const sablix::SnippetValue& item);

private:
    void checkForExpansion(const QString& text);
    void expand(const QString& text, qsizetype at, qsizetype length, const QString& replacement);
    void finishExpansion(const QString& expanded);
    void createSnippet(const std::string& title, const std::string& content);
    // The title a template is offered under: the first the editor accepts beside the library
    // (firstAcceptedTitle; the starter library holds "sig").
    std::string offeredTitle(const SnippetTemplate& entry, const std::vector<SnippetItem>& library) const;
    void setCurrentStep(TutorialStep step);
    void setTriggerProgress(const QString& trigger);

    Collaborators c_;
    TutorialStep currentStep_ = TutorialStep::welcome;
    QString practiceText_;
    bool hasExpanded_ = false;
    bool showSuccess_ = false;
    QString triggerProgress_;
};

}  // namespace sablix
