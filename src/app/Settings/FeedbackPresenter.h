#pragma once
#include <QObject>
#include <QString>
#include <chrono>
#include <optional>
#include <string>

#include <QCoro/QCoroTask>
#include <nlohmann/json.hpp>

#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"

namespace sablix {

// The settings sheet's feedback: the message and reply address the user types, and their one
// trip to the backend's feedback route. Only an HTTP 200 counts as sent; any other answer, or
// none, is a failure the user can retry, with the texts kept. One per opening of the sheet: a
// request still under way when the form goes finishes unseen. Lives on the main thread.
class FeedbackPresenter final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString feedbackMessage READ feedbackMessage WRITE setFeedbackMessage NOTIFY feedbackMessageChanged)
    Q_PROPERTY(QString feedbackEmail READ feedbackEmail WRITE setFeedbackEmail NOTIFY feedbackEmailChanged)
    Q_PROPERTY(bool feedbackSending READ feedbackSending NOTIFY stateChanged)
    Q_PROPERTY(bool feedbackSent READ feedbackSent NOTIFY stateChanged)
    // Empty while there is no error.
    Q_PROPERTY(QString feedbackError READ feedbackError NOTIFY stateChanged)
    Q_PROPERTY(bool canSend READ canSend NOTIFY canSendChanged)

public:
    static constexpr const char* kSentMessage = "Sent! Thank you for your feedback.";
    static constexpr const char* kFailedMessage = "Failed to send. Please try again.";
    static constexpr const char* kTransportFailurePrefix = "Failed to send: ";
    static constexpr const char* kUnknownAppVersion = "unknown";
    static constexpr std::chrono::milliseconds kTimeout{60'000};

    // appVersion is the application's short version, when known; osVersion "major.minor.patch".
    // timeout bounds the request (tests shorten it).
    FeedbackPresenter(APIClient& client, std::optional<std::string> appVersion, std::string osVersion,
                      std::chrono::milliseconds timeout = kTimeout, QObject* parent = nullptr);

    QString feedbackMessage() const { return feedbackMessage_; }
    void setFeedbackMessage(const QString& message);
    QString feedbackEmail() const { return feedbackEmail_; }
    void setFeedbackEmail(const QString& email);
    bool feedbackSending() const { return feedbackSending_; }
    bool feedbackSent() const { return feedbackSent_; }
    QString feedbackError() const { return feedbackError_.value_or(QString()); }
    // A message with more than white space, and nothing sending or sent.
    bool canSend() const;

    // Starts the request and returns at once; the outcome arrives through the state.
    Q_INVOKABLE void sendFeedback();

    // The request's JSON: the message and address trimmed of white space and line breaks.
    static nlohmann::json requestBody(const QString& message, const QString& email,
                                      const std::optional<std::string>& appVersion, const std::string& osVersion);

signals:
    void feedbackMessageChanged();
    void feedbackEmailChanged();
    void stateChanged();
    void canSendChanged();

private:
    QCoro::Task<> send();
    void updateCanSend();

    RequestStep requests_;
    const std::optional<std::string> appVersion_;
    const std::string osVersion_;
    const std::chrono::milliseconds timeout_;

    QString feedbackMessage_;
    QString feedbackEmail_;
    bool feedbackSending_ = false;
    bool feedbackSent_ = false;
    std::optional<QString> feedbackError_;
    bool canSend_ = false;
};

}  // namespace sablix
