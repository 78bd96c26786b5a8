#include "Networking/APIClient.h"
#include "posix/LogText.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QCoro/QCoroNetworkReply>

namespace sablix {

std::optional<nlohmann::json> APIResponse::json() const {
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

QCoro::Task<APIResponse> APIClient::send(const APIEndpoint& endpoint, APIRequest request) {
    return send(environment_.url(endpoint), std::move(request));
}

QCoro::Task<APIResponse> APIClient::send(QUrl url, APIRequest request) { return finish(start(url, request)); }

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

QCoro::Task<APIResponse> APIClient::finish(QNetworkReply* sent) {
    QPointer<QNetworkReply> reply(sent);
    co_await sent;

    APIResponse response;
    if (!reply) {
        response.error = "The request was cancelled.";
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
        response.body = reply->readAll().toStdString();
    } else {
        response.timedOut = cut;
        response.error = cut ? kTimedOutMessage : reply->errorString().toStdString();
    }
    reply->deleteLater();
    co_return response;
}

}  // namespace sablix
