#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orbit/OrbitError.h"

namespace orbit {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  // over the session's, by name
    std::string body;
    // The exchange fails when the connection is not made within this time, or when no byte
    // moves for this long (noticed within a second of it). A slow exchange that keeps moving
    // may take as long as it needs.
    std::chrono::milliseconds idleTimeout{60'000};

    // The value of a header the request itself carries, matched in any letter case.
    std::optional<std::string> header(const std::string& name) const;
};

struct HttpResponse {
    std::optional<TransportError> error;
    std::optional<int64_t> statusCode;  // none when no HTTP answer came back
    std::optional<std::string> data;    // the answer's body, decoded; none without an answer
};

// Runs HTTP exchanges on one thread of its own ("orbit.http") with one libcurl multi handle, and
// calls each completion there. Only http and https are spoken, also when following a redirect
// (at most kMaxRedirects in a row); the headers a request carries go to where it is redirected.
class HttpSession {
public:
    using Completion = std::function<void(HttpResponse)>;

    // Larger answers end the exchange with a transport error, as soon as they pass it (or declare
    // a length past it): a feature-flag or configuration answer is far smaller, and an answer
    // this size means a broken or hostile server.
    static constexpr size_t kMaxResponseBytes = 4 * 1024 * 1024;
    static constexpr long kMaxRedirects = 10;

    // headers go with every request unless the request sets one of the same name;
    // "Accept-Encoding" also makes the session decode answers in that encoding.
    explicit HttpSession(std::map<std::string, std::string> headers);
    // Exchanges already sent still run to their end and their completions are called; then the
    // thread stops. From the session's own thread (inside a completion) it does not wait.
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    void send(HttpRequest request, Completion completion);

private:
    struct State;
    void wake();

    std::shared_ptr<State> state_;
    std::thread thread_;  // last: it starts once the state is in place
};

}  // namespace orbit
