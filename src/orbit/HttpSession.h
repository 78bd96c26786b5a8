#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "orbit/OrbitError.h"

namespace orbit {

// Larger answers end the exchange as soon as they pass it (or declare a length past it): a
// feature-flag or configuration answer is far smaller, and an answer this size means a broken or
// hostile server.
inline constexpr size_t kDefaultMaxResponseBytes = 4 * 1024 * 1024;

struct HttpRequest {
    // Where a redirect may lead; a redirect elsewhere ends the exchange with
    // HttpResponse::Failure::redirectRefused, before anything is sent there. The session follows
    // redirects itself, so the address judged is the one it goes to. Only 300-303, 307 and 308
    // with one Location (or several that all say the same) are followed; whatever the rule, a
    // redirect whose address is not clear, or that leads from https to http, is refused, and a
    // redirect's own body is never read. 303, and 300-302 after a POST, go on as a GET without
    // the body and the headers that describe it; 307 and 308 send the same request again.
    enum class Redirects {
        sameOrigin,  // only the same scheme, host and port
        anyOrigin,   // any http or https address too; the headers go along, but for Authorization
                     // and Cookie, which never leave the origin they were meant for
    };

    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  // over the session's, by name
    std::string body;
    // The exchange fails when the connection is not made within this time, or when no byte
    // moves for this long. A slow exchange that keeps moving may take as long as it needs.
    std::chrono::milliseconds idleTimeout{60'000};
    // How long the whole exchange may take; zero for no limit.
    std::chrono::milliseconds deadline{0};
    // The most of the (decoded) body taken, over the exchange's life.
    size_t maxResponseBytes = kDefaultMaxResponseBytes;
    Redirects redirects = Redirects::sameOrigin;
    // With onBody set the body is not collected: once the final answer's status is known it goes
    // to onStatus, and each piece of the body to onBody as it arrives, both on the session's
    // thread (they must only hand it on). The session holds none of it, so an answer costs what
    // the receiver keeps of it.
    std::function<void(int64_t status)> onStatus;
    std::function<void(std::string_view piece)> onBody;

    // The value of a header the request itself carries, matched in any letter case.
    std::optional<std::string> header(const std::string& name) const;
};

struct HttpResponse {
    // Why an exchange brought no answer, for callers that tell the cases apart.
    enum class Failure { none, transport, timedOut, tooLarge, headTooLarge, redirectRefused, cancelled };
    // With redirectRefused: why.
    enum class RedirectRefusal { none, anotherOrigin, scheme, unclearAddress };

    std::optional<TransportError> error;
    std::optional<int64_t> statusCode;  // none when no HTTP answer came back
    std::optional<std::string> data;    // the answer's body, decoded; none without an answer (or with onBody)
    Failure failure = Failure::none;
    // With a failure: a short reason a person can read ("Connection refused", "Connection closed").
    std::string reason;
    // The address that gave the last answer (the one that redirected, for redirectRefused).
    std::string lastURL;
    RedirectRefusal redirectRefusal = RedirectRefusal::none;
    std::string refusedScheme;  // with RedirectRefusal::scheme: the scheme the redirect led to
};

// Runs HTTP exchanges on one thread of its own with one libcurl multi handle, and calls each
// completion there. Only http and https are spoken, also when following a redirect (at most
// kMaxRedirects in a row). Every answer is taken against its request's maxResponseBytes as it
// arrives, on this thread, so no answer costs more than that however busy its receiver is; its
// heads (interim ones and trailers included) against kMaxHeadBytes.
class HttpSession {
public:
    using Completion = std::function<void(HttpResponse)>;
    using ExchangeId = uint64_t;

    static constexpr size_t kMaxResponseBytes = kDefaultMaxResponseBytes;
    static constexpr long kMaxRedirects = 10;
    // Far above any real head, and low enough that ours is the bound that speaks: libcurl refuses
    // 300 KiB of head lines, none of them longer than 100 KiB.
    static constexpr size_t kMaxHeadBytes = 192 * 1024;

    // headers go with every request unless the request sets one of the same name;
    // "Accept-Encoding" also makes the session decode answers in that encoding. threadName: the
    // thread's name (15 characters at most). trustedCertificates: PEM certificates trusted besides
    // the system's authorities; the program gives none, a test its own server's.
    explicit HttpSession(std::map<std::string, std::string> headers, std::string threadName = "orbit.http",
                         std::string trustedCertificates = {});
    // Exchanges already sent still run to their end and their completions are called; then the
    // thread stops. From the session's own thread (inside a completion) it does not wait.
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    ExchangeId send(HttpRequest request, Completion completion);
    // Ends the exchange (or every exchange sent so far) as soon as the session's thread gets to it;
    // its completion is called with Failure::cancelled, unless it had already ended. Exchanges
    // sent later are not touched.
    void cancel(ExchangeId exchange);
    void cancelAll();

private:
    struct State;
    void wake();

    std::shared_ptr<State> state_;
    std::thread thread_;  // last: it starts once the state is in place
};

}  // namespace orbit
