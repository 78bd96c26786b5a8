#include "Settings/FeedbackPresenter.h"

#include <QPointer>

#include "Shell/Environment/APIEndpoint.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

std::string trimmed(const QString& text) { return platform::text::trimmed(text.toStdString()); }

}  // namespace

FeedbackPresenter::FeedbackPresenter(APIClient& client, std::optional<std::string> appVersion, std::string osVersion,
                                     std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent),
      requests_(client, nullptr, this),
      appVersion_(std::move(appVersion)),
      osVersion_(std::move(osVersion)),
      timeout_(timeout) {}

void FeedbackPresenter::setFeedbackMessage(const QString& message) {
    if (message == feedbackMessage_) return;
    feedbackMessage_ = message;
    emit feedbackMessageChanged();
    updateCanSend();
}

void FeedbackPresenter::setFeedbackEmail(const QString& email) {
    if (email == feedbackEmail_) return;
    feedbackEmail_ = email;
    emit feedbackEmailChanged();
}

bool FeedbackPresenter::canSend() const {
    return !feedbackSending_ && !feedbackSent_ && !trimmed(feedbackMessage_).empty();
}

void FeedbackPresenter::updateCanSend() {
    if (canSend() == canSend_) return;
    canSend_ = canSend();
    emit canSendChanged();
}

nlohmann::json FeedbackPresenter::requestBody(const QString& message, const QString& email,
                                              const std::optional<std::string>& appVersion,
                                              const std::string& osVersion) {
    return {
        {"message", trimmed(message)},
        {"email", trimmed(email)},
        {"appVersion", appVersion.value_or(kUnknownAppVersion)},
        {"osVersion", osVersion},
    };
}

void FeedbackPresenter::sendFeedback() {
    // The button is disabled then, but a second call must not send twice.
    if (!canSend()) return;
    // The task finishes on its own; nobody waits for it.
    send();
}

QCoro::Task<> FeedbackPresenter::send() {
    QPointer<FeedbackPresenter> self(this);
    feedbackSending_ = true;
    feedbackError_.reset();
    emit stateChanged();
    updateCanSend();

    const APIEndpoint endpoint = APIEndpoint::feedback();
    APIRequest request("POST", requestBody(feedbackMessage_, feedbackEmail_, appVersion_, osVersion_), std::nullopt,
                       timeout_);
    const auto answer = co_await requests_.send(endpoint, std::move(request), AcceptedStatus::exactly(200));
    if (!self) co_return;

    feedbackSending_ = false;
    if (answer) {
        feedbackSent_ = true;
        setFeedbackMessage(QString());
        setFeedbackEmail(QString());
    } else if (answer.error().kind == RequestError::Kind::status) {
        feedbackError_ = QString::fromUtf8(kFailedMessage);
    } else {
        feedbackError_ = QString::fromStdString(kTransportFailurePrefix + answer.error().message);
    }
    emit stateChanged();
    updateCanSend();
}

}  // namespace sablix
