#include "Networking/APIClient.h"
#include "posix/LogText.h"

#include <coroutine>
#include <cstdio>
#include <vector>

#include <QCoreApplication>

#include "Networking/StreamingReply.h"

namespace sablix {
namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr const char* kThreadName = "sablix.http";

}  // namespace

// One send() waiting for its answer. The session's thread hands the answer to the main thread,
// where it resumes the caller, unless cancelAll() ended the wait first or the client is gone.
struct APIClient::Exchange {
    std::optional<orbit::HttpResponse> result;
    std::coroutine_handle<> waiter;
    bool abandoned = false;  // the client is gone: nobody may be resumed

    void complete(orbit::HttpResponse response) {
        if (result) return;
        result = std::move(response);
        if (waiter && !abandoned) std::exchange(waiter, nullptr).resume();
    }

    struct Arrival {
        Exchange& exchange;
        bool await_ready() const noexcept { return exchange.result.has_value(); }
        void await_suspend(std::coroutine_handle<> waiter) noexcept { exchange.waiter = waiter; }
        void await_resume() const noexcept {}
    };
};

APIClient::APIClient(const AppEnvironment& environment)
    // An empty Accept-Encoding asks for every encoding the transport decodes.
    : environment_(environment), session_({{"Accept-Encoding", ""}, {"User-Agent", "Sablix"}}, kThreadName) {}

APIClient::~APIClient() {
    for (auto& [id, exchange] : waiting_) exchange->abandoned = true;
    session_.cancelAll();
}

std::string APIClient::answerTooLargeMessage(qint64 limit) {
    char text[128];
    std::snprintf(text, sizeof text, kAnswerTooLargeMessage, static_cast<long long>((limit + kMiB - 1) / kMiB));
    return text;
}

std::string APIClient::addressForLog(const std::string& address) {
    const QUrl url(QString::fromStdString(address));
    return posix::escapedForLog(
        url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString().toStdString());
}

std::optional<nlohmann::json> APIResponse::json() const {
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

orbit::HttpRequest APIClient::prepare(const QUrl& url, const APIRequest& request) const {
    orbit::HttpRequest http;
    http.method = request.method;
    http.url = url.toString(QUrl::FullyEncoded).toStdString();
    http.idleTimeout = request.timeout;
    http.maxResponseBytes = static_cast<size_t>(std::max<qint64>(0, request.answerLimit));
    // A token or a body (a refresh token travels in one) must not reach another origin.
    http.redirects = request.bearerToken || request.body ? orbit::HttpRequest::Redirects::sameOrigin
                                                         : orbit::HttpRequest::Redirects::anyOrigin;
    if (request.bearerToken) http.headers.emplace_back("Authorization", "Bearer " + *request.bearerToken);
    if (request.body) {
        http.headers.emplace_back("Content-Type", "application/json");
        http.body = request.body->dump();
    }
    return http;
}

std::string APIClient::failureMessage(const orbit::HttpResponse& response, qint64 answerLimit, const char* what) const {
    using Failure = orbit::HttpResponse::Failure;
    switch (response.failure) {
    case Failure::tooLarge:
        logger_.error("%s from %s stopped: larger than %lld bytes", what, addressForLog(response.lastURL).c_str(),
                      static_cast<long long>(answerLimit));
        return answerTooLargeMessage(answerLimit);
    case Failure::headTooLarge:
        logger_.error("%s from %s stopped: its head is larger than %zu bytes", what,
                      addressForLog(response.lastURL).c_str(), orbit::HttpSession::kMaxHeadBytes);
        return kHeadTooLargeMessage;
    case Failure::redirectRefused: logRefusedRedirect(response); return kRedirectRefusedMessage;
    case Failure::timedOut: return kTimedOutMessage;
    case Failure::cancelled: return kCancelledMessage;
    case Failure::transport:
    case Failure::none: break;
    }
    return response.reason;
}

void APIClient::logRefusedRedirect(const orbit::HttpResponse& response) const {
    const std::string from = addressForLog(response.lastURL);
    using Refusal = orbit::HttpResponse::RedirectRefusal;
    switch (response.redirectRefusal) {
    case Refusal::scheme:
        logger_.error("Redirect to the scheme %s not followed: %s",
                      posix::escapedForLog(response.refusedScheme).c_str(), from.c_str());
        return;
    case Refusal::unclearAddress:
        logger_.error("Redirect to an unclear address not followed: %s", from.c_str());
        return;
    case Refusal::anotherOrigin:
    case Refusal::none: logger_.error("Redirect to another origin not followed: %s", from.c_str()); return;
    }
}

QCoro::Task<APIResponse> APIClient::send(const APIEndpoint& endpoint, APIRequest request) {
    return send(environment_.url(endpoint), std::move(request));
}

QCoro::Task<APIResponse> APIClient::send(QUrl url, APIRequest request) {
    const auto exchange = std::make_shared<Exchange>();
    const auto id = session_.send(prepare(url, request), [exchange](orbit::HttpResponse response) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [exchange, response = std::move(response)]() mutable { exchange->complete(std::move(response)); },
            Qt::QueuedConnection);
    });
    waiting_.emplace(id, exchange);
    co_await Exchange::Arrival{*exchange};
    // Resumed only while the client exists.
    waiting_.erase(id);

    const orbit::HttpResponse& result = *exchange->result;
    APIResponse response;
    if (result.failure == orbit::HttpResponse::Failure::none && result.statusCode) {
        response.status = static_cast<int>(*result.statusCode);
        response.body = std::move(exchange->result->data).value_or("");
        co_return response;
    }
    response.timedOut = result.failure == orbit::HttpResponse::Failure::timedOut;
    response.error = failureMessage(result, request.answerLimit, "Answer");
    if (response.error.empty()) response.error = "The server sent no HTTP answer.";
    co_return response;
}

std::unique_ptr<StreamingReply> APIClient::openStream(QUrl url, APIRequest request,
                                                      std::chrono::milliseconds deadline) {
    orbit::HttpRequest http = prepare(url, request);
    http.deadline = deadline;
    auto channel = std::make_shared<StreamingReply::Channel>();
    http.onStatus = [channel](int64_t status) { channel->setStatus(static_cast<int>(status)); };
    http.onBody = [channel](std::string_view piece) { channel->append(piece); };
    const auto id =
        session_.send(std::move(http), [channel](orbit::HttpResponse response) { channel->end(std::move(response)); });
    return std::unique_ptr<StreamingReply>(new StreamingReply(*this, id, std::move(channel), request.answerLimit));
}

void APIClient::cancelAll() {
    session_.cancelAll();
    // A caller may answer a cancellation with a new request; a few rounds end any such chain.
    for (int round = 0; round < 8; ++round) {
        std::vector<std::shared_ptr<Exchange>> current;
        for (const auto& [id, exchange] : waiting_) current.push_back(exchange);
        orbit::HttpResponse cancelled;
        cancelled.failure = orbit::HttpResponse::Failure::cancelled;
        for (const auto& exchange : current) exchange->complete(cancelled);
        bool resumed = !current.empty();
        // Whoever a stream resumes may destroy that reply or others, and open new ones: each is
        // looked up again just before it is ended.
        const std::vector<StreamingReply*> replies(streams_.begin(), streams_.end());
        for (StreamingReply* reply : replies)
            if (streams_.contains(reply) && reply->endAtQuit()) resumed = true;
        session_.cancelAll();
        if (!resumed) break;
    }
}

}  // namespace sablix
