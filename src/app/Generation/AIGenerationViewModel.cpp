#include "Generation/AIGenerationViewModel.h"

#include "Generation/AIGenerationError.h"
#include "Generation/CancellationError.h"
#include "platform/TextRules.h"

namespace sablix {

AIGenerationViewModel::AIGenerationViewModel(std::shared_ptr<AIServiceProtocol> service, AnalyticsTracking& analytics,
                                             platform::Executor& mainQueue, QObject* parent)
    : QObject(parent),
      service_(std::move(service)),
      analytics_(analytics),
      mainQueue_(mainQueue),
      alive_(std::make_shared<AIGenerationViewModel*>(this)) {}

AIGenerationViewModel::~AIGenerationViewModel() { alive_.reset(); }

void AIGenerationViewModel::generate(const QString& snippetTitle) {
    const std::string title = platform::text::trimmed(snippetTitle.toStdString());
    if (title.empty()) {
        setErrorMessage(kBlankTitleMessage);
        return;
    }
    setErrorMessage(std::nullopt);
    setIsGenerating(true);
    setGeneratedText(QString());
    analytics_.track(AnalyticsEvent::aiGenerationStart);

    std::optional<std::string> hint;
    if (showPromptHint_) hint = promptHint_.toStdString();
    AIGenerationRequest request(title, std::move(hint), kMaxTokens);

    // A generation still running could no longer change anything; its connection goes too.
    if (generationTask_) generationTask_->request_stop();
    generationTask_.emplace();
    currentSerial_ = ++lastSerial_;
    stoppedSerial_ = 0;
    run(service_, analytics_, mainQueue_, alive_, currentSerial_, std::move(request), generationTask_->get_token());
}

void AIGenerationViewModel::stop() {
    if (generationTask_) generationTask_->request_stop();
    generationTask_.reset();
    // What is already queued arrived before Stop; the marker queued behind it closes the door.
    if (currentSerial_ != 0) {
        stoppedSerial_ = currentSerial_;
        mainQueue_.async([model = std::weak_ptr(alive_), serial = currentSerial_] {
            const auto alive = model.lock();
            if (alive && (*alive)->stoppedSerial_ == serial) (*alive)->stoppedSerial_ = 0;
        });
    }
    currentSerial_ = 0;
    setIsGenerating(false);
}

QCoro::Task<> AIGenerationViewModel::run(std::shared_ptr<AIServiceProtocol> service, AnalyticsTracking& analytics,
                                         platform::Executor& mainQueue, std::weak_ptr<AIGenerationViewModel*> model,
                                         uint64_t serial, AIGenerationRequest request, std::stop_token cancellation) {
    const auto apply = [&mainQueue, model, serial](Effect effect) {
        mainQueue.async([model, serial, effect = std::move(effect)] {
            const auto alive = model.lock();
            if (alive && (*alive)->currentSerial_ == serial) effect(**alive);
        });
    };
    const auto onDelta = [&mainQueue, model, serial](const std::string& fragment) {
        mainQueue.async([model, serial, fragment] {
            const auto alive = model.lock();
            if (alive && ((*alive)->currentSerial_ == serial || (*alive)->stoppedSerial_ == serial))
                (*alive)->appendFragment(fragment);
        });
    };

    try {
        std::string text = co_await service->generateStream(std::move(request), onDelta, cancellation);
        if (cancellation.stop_requested()) throw CancellationError();
        mainQueue.async([&analytics, model, serial, text = std::move(text)] {
            const auto alive = model.lock();
            if (!alive) {
                // The editor closed while the generation ran: it still succeeded.
                analytics.track(AnalyticsEvent::aiGenerationComplete);
                return;
            }
            AIGenerationViewModel& self = **alive;
            if (self.currentSerial_ != serial) return;
            self.setGeneratedText(QString::fromStdString(text));
            analytics.track(AnalyticsEvent::aiGenerationComplete);
            self.finish(std::nullopt);
        });
    } catch (const CancellationError&) {
        apply([](AIGenerationViewModel& self) { self.finish(std::nullopt); });
    } catch (const AIGenerationError& error) {
        // cancelled has no description: a silent stop.
        apply([message = error.errorDescription()](AIGenerationViewModel& self) { self.finish(message); });
    } catch (const std::exception& error) {
        apply([message = std::string(kUnexpectedErrorPrefix) + error.what()](AIGenerationViewModel& self) {
            self.finish(message);
        });
    }
}

void AIGenerationViewModel::appendFragment(const std::string& fragment) {
    if (fragment.empty()) return;
    const bool whole = generatedText_.isEmpty();
    const QString added = QString::fromStdString(fragment);
    generatedText_ += added;
    emit generatedTextChanged();
    if (whole) emit hasGeneratedTextChanged();
    emit generatedTextAppended(added, whole);
}

void AIGenerationViewModel::finish(std::optional<std::string> message) {
    if (message) setErrorMessage(std::move(message));
    generationTask_.reset();
    currentSerial_ = 0;
    setIsGenerating(false);
}

void AIGenerationViewModel::setGeneratedText(const QString& text) {
    if (text == generatedText_) return;
    const bool had = !generatedText_.isEmpty();
    generatedText_ = text;
    emit generatedTextChanged();
    if (had != !text.isEmpty()) emit hasGeneratedTextChanged();
    if (!text.isEmpty()) emit generatedTextAppended(text, true);
}

void AIGenerationViewModel::setIsGenerating(bool value) {
    if (value == isGenerating_) return;
    isGenerating_ = value;
    emit isGeneratingChanged();
}

void AIGenerationViewModel::setErrorMessage(std::optional<std::string> message) {
    if (message == errorMessage_) return;
    errorMessage_ = std::move(message);
    emit errorMessageChanged();
}

void AIGenerationViewModel::setShowPromptHint(bool show) {
    if (show == showPromptHint_) return;
    showPromptHint_ = show;
    emit showPromptHintChanged();
}

void AIGenerationViewModel::setPromptHint(const QString& hint) {
    if (hint == promptHint_) return;
    promptHint_ = hint;
    emit promptHintChanged();
}

}  // namespace sablix
