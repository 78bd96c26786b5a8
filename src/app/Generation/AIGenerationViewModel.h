#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include <QObject>
#include <QString>
#include <QCoro/QCoroTask>

#include "Analytics/AnalyticsTracking.h"
#include "Generation/AIServiceProtocol.h"
#include "platform/DispatchQueue.h"

namespace sablix {

// The state behind the editor's generate control: checks the title, runs one generation at a time
// through the service, streams its text into generatedText, ends with the whole text or one
// message line, and can be stopped. Lives on the main thread.
//
// Each generation has a serial number, and only the current one's effects apply. Fragments and
// ends reach the model through one ordered main-thread queue, so the whole text never lands
// before a fragment that came ahead of it. A stopped generation's fragments that had arrived
// before Stop still land; nothing it does later applies, and a new generation discards even
// those. Closing the editor (destroying the model) does not stop a generation: it runs to its end
// and a success is still recorded.
class AIGenerationViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString generatedText READ generatedText WRITE setGeneratedText NOTIFY generatedTextChanged)
    // Whether generatedText holds anything; changes only when that does, so a view that only asks
    // this does not copy the whole text at every fragment.
    Q_PROPERTY(bool hasGeneratedText READ hasGeneratedText NOTIFY hasGeneratedTextChanged)
    Q_PROPERTY(bool isGenerating READ isGenerating NOTIFY isGeneratingChanged)
    // Empty while there is no message.
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(bool showPromptHint READ showPromptHint WRITE setShowPromptHint NOTIFY showPromptHintChanged)
    Q_PROPERTY(QString promptHint READ promptHint WRITE setPromptHint NOTIFY promptHintChanged)

public:
    static constexpr int64_t kMaxTokens = 1024;
    static constexpr const char* kBlankTitleMessage = "Enter a snippet title first.";
    static constexpr const char* kUnexpectedErrorPrefix = "Unexpected error: ";

    // mainQueue runs the fragments and the end of each generation, in the order they come.
    AIGenerationViewModel(std::shared_ptr<AIServiceProtocol> service, AnalyticsTracking& analytics,
                          platform::Executor& mainQueue, QObject* parent = nullptr);
    // A generation still running goes on to its end.
    ~AIGenerationViewModel() override;

    // Starts a generation for the title (trimmed; a blank one only sets the message) and returns
    // at once.
    Q_INVOKABLE void generate(const QString& snippetTitle);
    // Stops the running generation; the text so far and the message stay.
    Q_INVOKABLE void stop();

    QString generatedText() const { return generatedText_; }
    void setGeneratedText(const QString& text);
    bool hasGeneratedText() const { return !generatedText_.isEmpty(); }
    bool isGenerating() const { return isGenerating_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    QString errorMessageText() const { return QString::fromStdString(errorMessage_.value_or("")); }
    bool showPromptHint() const { return showPromptHint_; }
    void setShowPromptHint(bool show);
    QString promptHint() const { return promptHint_; }
    void setPromptHint(const QString& hint);

signals:
    void generatedTextChanged();
    void hasGeneratedTextChanged();
    // After generatedTextChanged, when the text is not empty: what the change put at the end of
    // the text it kept, or (whole) the whole text when it kept none (the first fragment, a text
    // set whole). A fragment costs its own length, however long the text already is.
    void generatedTextAppended(const QString& added, bool whole);
    void isGeneratingChanged();
    void errorMessageChanged();
    void showPromptHintChanged();
    void promptHintChanged();

private:
    using Effect = std::function<void(AIGenerationViewModel&)>;
    // A generation's own task. It holds the model only weakly and the service for as long as it
    // runs; whatever it changes goes through the main queue, and only while it is current.
    static QCoro::Task<> run(std::shared_ptr<AIServiceProtocol> service, AnalyticsTracking& analytics,
                             platform::Executor& mainQueue, std::weak_ptr<AIGenerationViewModel*> model,
                             uint64_t serial, AIGenerationRequest request, std::stop_token cancellation);
    void appendFragment(const std::string& fragment);
    void finish(std::optional<std::string> message);
    void setIsGenerating(bool value);
    void setErrorMessage(std::optional<std::string> message);

    std::shared_ptr<AIServiceProtocol> service_;
    AnalyticsTracking& analytics_;
    platform::Executor& mainQueue_;
    QString generatedText_;
    bool isGenerating_ = false;
    std::optional<std::string> errorMessage_;
    bool showPromptHint_ = false;
    QString promptHint_;
    // The running generation's cancellation; none while nothing runs.
    std::optional<std::stop_source> generationTask_;
    uint64_t lastSerial_ = 0;
    uint64_t currentSerial_ = 0;  // 0 while no generation may act
    uint64_t stoppedSerial_ = 0;  // the stopped generation whose fragments queued before Stop land
    // Lets queued effects find out that the model is gone.
    std::shared_ptr<AIGenerationViewModel*> alive_;
};

// Makes the generation model of one editor, owned by parent.
using AIGenerationViewModelFactory = std::function<AIGenerationViewModel*(QObject* parent)>;

}  // namespace sablix
