#include "Networking/StreamingReply.h"

#include <QCoreApplication>
#include <QNetworkRequest>

#include "Accounts/AuthError.h"
#include "Networking/APIClient.h"
#include "posix/LogText.h"

namespace sablix {

StreamingReply::StreamingReply(QNetworkReply* reply, std::chrono::milliseconds deadline, qint64 maxBodyBytes)
    : reply_(reply), maxBodyBytes_(maxBodyBytes) {
    reply->setReadBufferSize(kReadBufferBytes);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [this] { wake(); });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [this] { wake(); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this] { wake(); });
    QObject::connect(reply, &QObject::destroyed, QCoreApplication::instance(), [this] { wake(); });
    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, [this] {
        timedOut_ = true;
        if (reply_) reply_->abort();
    });
    deadline_.start(deadline);
}

StreamingReply::~StreamingReply() {
    if (!reply_) return;
    reply_->disconnect();
    if (reply_->isRunning()) reply_->abort();
    reply_->deleteLater();
}

void StreamingReply::abort() {
    if (!reply_ || !reply_->isRunning()) return;
    aborted_ = true;
    reply_->abort();
}

void StreamingReply::wake() {
    if (!waiter_) return;
    const std::coroutine_handle<> waiter = std::exchange(waiter_, nullptr);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
}

bool StreamingReply::hasStatus() const {
    return reply_ && reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

bool StreamingReply::isOver() const { return !reply_ || reply_->isFinished(); }

std::optional<std::string> StreamingReply::failure() const {
    if (tooLarge_) return APIClient::answerTooLargeMessage(maxBodyBytes_);
    if (!reply_) return kCancelledMessage;
    const QNetworkReply::NetworkError error = reply_->error();
    if (error == QNetworkReply::InsecureRedirectError) return APIClient::kRedirectRefusedMessage;
    if (timedOut_ || error == QNetworkReply::TimeoutError) return APIClient::kTimedOutMessage;
    // The transfer time-out aborts the reply as well.
    if (error == QNetworkReply::OperationCanceledError)
        return aborted_ ? kCancelledMessage : APIClient::kTimedOutMessage;
    // Most other codes stand for the HTTP status of an answer that came whole (400 is
    // ProtocolInvalidOperationError); these say that the transfer itself broke.
    const bool broken = (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied) ||
                        error == QNetworkReply::ProtocolUnknownError || error == QNetworkReply::ProtocolFailure;
    if (!broken) return std::nullopt;
    return reply_->errorString().toStdString();
}

QCoro::Task<int> StreamingReply::status() {
    while (!hasStatus() && !isOver()) co_await Arrival{*this};
    if (reply_ && reply_->error() == QNetworkReply::InsecureRedirectError)
        throw TransportError(APIClient::kRedirectRefusedMessage);
    if (hasStatus()) co_return reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (auto reason = failure()) throw TransportError(*reason);
    co_return 0;
}

std::string StreamingReply::stopTooLarge() {
    tooLarge_ = true;
    const QUrl address = reply_->url().adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
    logger_.error("Stream from %s stopped: larger than %lld bytes",
                  posix::escapedForLog(address.toString().toStdString()).c_str(),
                  static_cast<long long>(maxBodyBytes_));
    reply_->abort();
    return *failure();
}

QCoro::Task<QByteArray> StreamingReply::read(qint64 maxBytes) {
    while (!tooLarge_ && reply_ && reply_->bytesAvailable() == 0 && !reply_->isFinished()) co_await Arrival{*this};
    if (!tooLarge_ && reply_) {
        const QVariant declared = reply_->header(QNetworkRequest::ContentLengthHeader);
        if (declared.isValid() && declared.toLongLong() > maxBodyBytes_) throw TransportError(stopTooLarge());
    }
    if (!tooLarge_ && reply_ && reply_->bytesAvailable() > 0) {
        QByteArray bytes = reply_->read(maxBytes);
        bytesRead_ += bytes.size();
        if (bytesRead_ > maxBodyBytes_) throw TransportError(stopTooLarge());
        co_return bytes;
    }
    if (auto reason = failure()) throw TransportError(*reason);
    co_return QByteArray();
}

}  // namespace sablix
