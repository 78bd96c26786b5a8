#include "Networking/APIClient.h"
#include "posix/LogText.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QCoro/QCoroNetworkReply>

namespace sablix {
namespace {

constexpr qint64 kMiB = 1024 * 1024;
// How much of a body may wait inside Qt before the collector takes it; the rest waits in the
// connection.
constexpr qint64 kReadBufferBytes = 64 * 1024;

// The body of one answer, taken out of the reply as it arrives, so that Qt holds no more than
// its read buffer and this no more than the limit. It is kept in pieces and joined once at the
// end: a string grown in place would hold its old and new copies together.
class LimitedBody {
public:
    explicit LimitedBody(qint64 limit) : limit_(limit) {}

    // Takes what has arrived; false once the body (or the length it declares) passes the limit,
    // after which nothing more is taken.
    bool take(QNetworkReply& reply) {
        if (tooLarge_) return false;
        const QVariant declared = reply.header(QNetworkRequest::ContentLengthHeader);
        if (declared.isValid() && declared.toLongLong() > limit_) return stop();
        // Each piece no larger than what is there: read() allocates all it is asked for.
        for (qint64 available = reply.bytesAvailable(); available > 0; available = reply.bytesAvailable()) {
            QByteArray piece = reply.read(std::min(available, kReadBufferBytes));
            if (piece.isEmpty()) break;
            size_ += piece.size();
            if (size_ > limit_) return stop();
            pieces_.push_back(std::move(piece));
        }
        return true;
    }

    bool tooLarge() const { return tooLarge_; }

    std::string release() {
        std::string whole;
        whole.reserve(static_cast<size_t>(size_));
        for (const QByteArray& piece : pieces_) whole.append(piece.constData(), static_cast<size_t>(piece.size()));
        pieces_.clear();
        return whole;
    }

private:
    bool stop() {
        tooLarge_ = true;
        pieces_.clear();
        return false;
    }

    const qint64 limit_;
    std::vector<QByteArray> pieces_;
    qint64 size_ = 0;
    bool tooLarge_ = false;
};

}  // namespace

std::string APIClient::answerTooLargeMessage(qint64 limit) {
    char text[128];
    std::snprintf(text, sizeof text, kAnswerTooLargeMessage, static_cast<long long>((limit + kMiB - 1) / kMiB));
    return text;
}

std::optional<nlohmann::json> APIResponse::json() const {
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

QCoro::Task<APIResponse> APIClient::send(const APIEndpoint& endpoint, APIRequest request) {
    return send(environment_.url(endpoint), std::move(request));
}

QCoro::Task<APIResponse> APIClient::send(QUrl url, APIRequest request) {
    return finish(start(url, request), request.answerLimit);
}

QNetworkReply* APIClient::openStream(QUrl url, APIRequest request) { return start(url, request); }

QNetworkReply* APIClient::start(const QUrl& url, const APIRequest& request) {
    QNetworkRequest networkRequest(url);
    // The time-out counts from the last byte received, so a slow but moving download goes on.
    networkRequest.setTransferTimeout(static_cast<int>(request.timeout.count()));
    // Qt follows redirects to any host, headers included, and repeats the body on 307 and 308:
    // a token or a body (a refresh token travels in one) must not reach another origin.
    if (request.bearerToken || request.body)
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::SameOriginRedirectPolicy);
    if (request.bearerToken)
        networkRequest.setRawHeader("Authorization", QByteArray::fromStdString("Bearer " + *request.bearerToken));
    QByteArray payload;
    if (request.body) {
        networkRequest.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        payload = QByteArray::fromStdString(request.body->dump());
    }
    QNetworkReply* reply =
        network_.sendCustomRequest(networkRequest, QByteArray::fromStdString(request.method), payload);
    QObject::connect(reply, &QNetworkReply::errorOccurred, reply, [this, reply](QNetworkReply::NetworkError error) {
        if (error != QNetworkReply::InsecureRedirectError) return;
        // The address without its query and user information: neither may reach the log.
        const QUrl address = reply->url().adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
        logger_.error("Redirect to another origin not followed: %s",
                      posix::escapedForLog(address.toString().toStdString()).c_str());
    });
    return reply;
}

void APIClient::cancelAll() {
    // A caller may answer a cancellation with a new request; a few rounds end any such chain.
    for (int round = 0; round < 8; ++round) {
        bool cancelled = false;
        for (QNetworkReply* reply : network_.findChildren<QNetworkReply*>()) {
            if (!reply->isRunning()) continue;
            reply->abort();
            cancelled = true;
        }
        if (!cancelled) return;
    }
}

QCoro::Task<APIResponse> APIClient::finish(QNetworkReply* sent, qint64 answerLimit) {
    QPointer<QNetworkReply> reply(sent);
    sent->setReadBufferSize(kReadBufferBytes);
    const auto body = std::make_shared<LimitedBody>(answerLimit);
    const auto take = [sent, body] {
        // Stopped from the event loop, not from inside the reply's own signal.
        if (!body->take(*sent))
            QMetaObject::invokeMethod(
                sent, [sent] { sent->abort(); }, Qt::QueuedConnection);
    };
    QObject::connect(sent, &QNetworkReply::metaDataChanged, sent, take);
    QObject::connect(sent, &QNetworkReply::readyRead, sent, take);
    co_await sent;

    // A reply still alive is a child of this client's network_: the client is alive too.
    APIResponse response;
    if (!reply) {
        response.error = "The request was cancelled.";
        co_return response;
    }
    body->take(*reply);
    if (body->tooLarge()) {
        response.error = answerTooLargeMessage(answerLimit);
        const QUrl address = reply->url().adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
        logger_.error("Answer from %s stopped: larger than %lld bytes",
                      posix::escapedForLog(address.toString().toStdString()).c_str(),
                      static_cast<long long>(answerLimit));
        reply->deleteLater();
        co_return response;
    }
    if (reply->error() == QNetworkReply::InsecureRedirectError) {
        response.error = kRedirectRefusedMessage;
        reply->deleteLater();
        co_return response;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Only cancelAll() aborts a request, and only at quit; any other cancellation is the transfer
    // time-out's. Either can cut a reply whose status has already arrived: its body is lost, so
    // it is no answer rather than an answer with an empty body.
    const bool cut =
        reply->error() == QNetworkReply::TimeoutError || reply->error() == QNetworkReply::OperationCanceledError;
    if (status.isValid() && !cut) {
        response.status = status.toInt();
        response.body = body->release();
    } else {
        response.timedOut = cut;
        response.error = cut ? kTimedOutMessage : reply->errorString().toStdString();
    }
    reply->deleteLater();
    co_return response;
}

}  // namespace sablix
