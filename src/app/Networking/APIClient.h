#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <QUrl>
#include <QCoro/QCoroTask>
#include <nlohmann/json.hpp>

#include "Shell/Environment/AppEnvironment.h"
#include "orbit/HttpSession.h"
#include "platform/Log.h"

namespace sablix {

// How long a request may go without receiving anything, when its caller names no time-out.
inline constexpr std::chrono::milliseconds kDefaultRequestTimeout{60'000};
// The most of an answer a request reads when its caller names no limit: far above any ordinary
// JSON answer of the backend.
inline constexpr qint64 kDefaultAnswerLimit = 4 * 1024 * 1024;

// Not an aggregate on purpose: g++ 12 destroys an aggregate temporary twice when it appears in a
// co_await expression (as in `co_await client.send(url, APIRequest{})`); a constructor of its
// own keeps such calls sound.
struct APIRequest {
    explicit APIRequest(std::string method = "GET", std::optional<nlohmann::json> body = std::nullopt,
                        std::optional<std::string> bearerToken = std::nullopt,
                        std::chrono::milliseconds timeout = kDefaultRequestTimeout,
                        qint64 answerLimit = kDefaultAnswerLimit)
        : method(std::move(method)),
          body(std::move(body)),
          bearerToken(std::move(bearerToken)),
          timeout(timeout),
          answerLimit(answerLimit) {}

    std::string method;
    std::optional<nlohmann::json> body;      // sent as application/json
    std::optional<std::string> bearerToken;  // sent as "Authorization: Bearer <token>"
    std::chrono::milliseconds timeout;
    // The most of the answer's body that is taken (decoded); a larger answer is no answer. For a
    // stream (openStream) it bounds the whole body over the stream's life.
    qint64 answerLimit;
};

// What came back. An HTTP answer of any status has that status and its body; a request that got
// no answer has status 0 and the transport's reason.
struct APIResponse {
    int status = 0;
    std::string body;
    std::string error;  // empty whenever status is not 0
    bool timedOut = false;

    bool isSuccess() const { return status >= 200 && status < 300; }
    // The body as JSON; none when it is not JSON.
    std::optional<nlohmann::json> json() const;
};

class StreamingReply;

// The one way the application talks HTTP to its backend and feeds. Callers are on the main thread:
// each request is a coroutine that resumes there when the answer is in. The transfers run on the
// client's own thread ("sablix.http"), which takes every answer against its limit as it arrives,
// so an answer costs at most its limit however busy the main thread is.
class APIClient {
public:
    static constexpr const char* kTimedOutMessage = "The request timed out.";
    static constexpr const char* kCancelledMessage = "The request was cancelled.";
    static constexpr const char* kRedirectRefusedMessage = "The server sent the request to another address.";
    static constexpr const char* kHeadTooLargeMessage = "The server's answer is too large.";
    // %lld: the limit in MiB.
    static constexpr const char* kAnswerTooLargeMessage = "The server's answer is larger than %lld MiB.";

    // What a request whose answer passes limit (bytes) fails with.
    static std::string answerTooLargeMessage(qint64 limit);

    explicit APIClient(const AppEnvironment& environment);
    // Requests still under way are stopped; their callers are never resumed (cancelAll() first
    // to let them finish).
    ~APIClient();
    APIClient(const APIClient&) = delete;
    APIClient& operator=(const APIClient&) = delete;

    // A request that carries a bearer token or a body follows a redirect only to its own origin
    // (scheme, host and port); a redirect elsewhere makes it a request without an answer. Any
    // other request follows redirects to http and https addresses. Either way only a redirect
    // whose address is clear, and that does not lead from https to http, is followed
    // (orbit::HttpRequest::Redirects).

    // A request to the environment's base URL followed by the endpoint's path.
    QCoro::Task<APIResponse> send(const APIEndpoint& endpoint, APIRequest request = APIRequest());
    // A request to a full address, for documents outside the backend (the update feed).
    // Either send stops the answer as soon as it passes request.answerLimit (or declares a length
    // past it): such an answer is no answer, its error answerTooLargeMessage.
    QCoro::Task<APIResponse> send(QUrl url, APIRequest request = APIRequest());
    // The same request, started and handed back at once, for an answer that is read while it
    // arrives. deadline bounds the whole transfer; request.answerLimit the whole body.
    // cancelAll() stops it too. The reply must not outlive the client.
    std::unique_ptr<StreamingReply> openStream(QUrl url, APIRequest request, std::chrono::milliseconds deadline);

    const AppEnvironment& environment() const { return environment_; }

    // At quit, while every caller still exists: stops the requests under way and ends every open
    // stream, so each waiting coroutine, of a send() or a StreamingReply, finishes at once (with the
    // cancellation as its transport error) instead of being left suspended for ever: the event loop
    // that would resume it no longer runs. Requests and streams that callers open in answer are
    // ended as well.
    void cancelAll();

private:
    friend class StreamingReply;
    struct Exchange;

    // The address as a log line may show it: without its query, fragment and user information.
    static std::string addressForLog(const std::string& address);
    orbit::HttpRequest prepare(const QUrl& url, const APIRequest& request) const;
    // What a request that brought no answer reports, with its log line where it needs one.
    std::string failureMessage(const orbit::HttpResponse& response, qint64 answerLimit, const char* what) const;
    void logRefusedRedirect(const orbit::HttpResponse& response) const;
    void cancel(orbit::HttpSession::ExchangeId exchange) { session_.cancel(exchange); }

    const AppEnvironment& environment_;
    platform::Log logger_ = platform::appLog("APIClient");
    // The send() calls waiting for their answer; main thread only.
    std::unordered_map<orbit::HttpSession::ExchangeId, std::shared_ptr<Exchange>> waiting_;
    // The replies of the streams opened and not yet destroyed (each enters and leaves itself);
    // main thread only.
    std::unordered_set<StreamingReply*> streams_;
    orbit::HttpSession session_;
};

}  // namespace sablix
