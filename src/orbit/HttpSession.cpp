#include "orbit/HttpSession.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <curl/curl.h>

#include "orbit/Utils/HedgeLog.h"

namespace orbit {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLongestPoll{1000};  // the longest wait before looking at time-outs again
constexpr const char* kProtocols = "http,https";

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The parts of an address that a redirect rule compares.
struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
    bool operator==(const Origin&) const = default;
};

std::string urlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, flags) != CURLUE_OK || !value) return {};
    std::string out(value);
    curl_free(value);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Where a redirect leads: the origin it leaves, the one it reaches and the whole address.
struct RedirectTarget {
    Origin from;
    Origin to;
    std::string url;
};

// location read against base; none when either is no address.
std::optional<RedirectTarget> redirectTarget(const std::string& base, std::string_view location) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return std::nullopt;
    const auto origin = [&] {
        return Origin{urlPart(url.get(), CURLUPART_SCHEME), urlPart(url.get(), CURLUPART_HOST),
                      urlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)};
    };
    const Origin from = origin();
    // Set on a handle that holds the base, a relative location is resolved against it. Schemes
    // libcurl does not speak are read too, so that a refusal can name them.
    if (location.empty() ||
        curl_url_set(url.get(), CURLUPART_URL, std::string(location).c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    char* whole = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &whole, 0) != CURLUE_OK || !whole) return std::nullopt;
    RedirectTarget target{from, origin(), whole};
    curl_free(whole);
    return target;
}

bool followable(long status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A reason a person can read, in the words most HTTP stacks use for the common cases.
std::string readableReason(CURLcode result, long osErrno, const char* errorBuffer) {
    switch (result) {
    case CURLE_COULDNT_CONNECT:
        if (osErrno != 0) {
            char text[256];
            return strerror_r(static_cast<int>(osErrno), text, sizeof text);
        }
        return "Connection refused";
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return "Host not found";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return "Connection closed";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return "SSL handshake failed";
    case CURLE_TOO_MANY_REDIRECTS: return "Too many redirects";
    default: return errorBuffer && errorBuffer[0] ? errorBuffer : curl_easy_strerror(result);
    }
}

// The end of an exchange that never reached libcurl.
HttpResponse notStarted(HttpResponse::Failure failure, CURLcode code, const char* reason) {
    HttpResponse response;
    response.failure = failure;
    response.reason = reason;
    response.error = TransportError{code, reason};
    return response;
}

constexpr const char* kNotStartedReason = "The HTTP library could not start the request";

// What the session gives every request it sends.
struct Setup {
    std::map<std::string, std::string> headers;
    std::string trustedCertificates;  // PEM; none for the system's authorities alone
};

// Whether a request header describes the body it carries, and goes when that body is dropped.
bool describesBody(std::string_view name) {
    constexpr std::string_view prefix = "Content-";
    return (name.size() > prefix.size() && sameName(name.substr(0, prefix.size()), prefix)) ||
           sameName(name, "Transfer-Encoding") || sameName(name, "Digest") || sameName(name, "Repr-Digest");
}

// One exchange from the moment the thread takes it up.
struct Transfer {
    HttpSession::ExchangeId id;
    HttpRequest request;
    HttpSession::Completion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string response;
    size_t bodyBytes = 0;
    HttpResponse::Failure failure = HttpResponse::Failure::none;
    HttpResponse::RedirectRefusal refusal = HttpResponse::RedirectRefusal::none;
    std::string refusedScheme;
    // The head being read: its Location lines, and whether its body comes encoded or chunked (a
    // declared length then says nothing of the size taken).
    std::vector<std::string> locations;
    bool transformed = false;
    // What this hop (one request and its answer) has read of heads, interim ones and trailers
    // included, and whether its final head has ended.
    size_t headBytes = 0;
    bool inBody = false;
    // A redirect that is followed: where the next hop goes, and the status that sent it there.
    std::optional<std::string> next;
    long nextStatus = 0;
    long redirects = 0;
    bool crossedOrigin = false;  // a redirect led to another origin
    bool bodyDropped = false;    // a redirect turned the request into a GET
    bool statusDelivered = false;
    // The bytes sent and received so far, and when that count last changed.
    curl_off_t moved = -1;
    Clock::time_point lastMoved = Clock::now();
    const Clock::time_point started = Clock::now();
    char errorBuffer[CURL_ERROR_SIZE] = {};

    Transfer(HttpSession::ExchangeId id, HttpRequest request, HttpSession::Completion completion)
        : id(id), request(std::move(request)), completion(std::move(completion)) {}
    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    long status() const {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

    std::string lastURL() const {
        char* url = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
        return url ? url : request.url;
    }

    void deliverStatus() {
        if (statusDelivered) return;
        statusDelivered = true;
        if (request.onStatus) request.onStatus(status());
    }

    static size_t write(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        const size_t bytes = size * count;
        transfer->lastMoved = Clock::now();
        transfer->deliverStatus();
        transfer->bodyBytes += bytes;
        if (transfer->bodyBytes > transfer->request.maxResponseBytes) {
            transfer->failure = HttpResponse::Failure::tooLarge;
            return 0;  // ends the exchange with CURLE_WRITE_ERROR
        }
        if (transfer->request.onBody) {
            transfer->request.onBody(std::string_view(data, bytes));
            return bytes;
        }
        // Only a body longer than it declared outgrows its reservation: it grows once, to the
        // limit, rather than by doubling.
        if (transfer->response.size() + bytes > transfer->response.capacity())
            transfer->reserveUpTo(transfer->request.maxResponseBytes);
        transfer->response.append(data, bytes);
        return bytes;
    }

    static size_t header(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        const size_t bytes = size * count;
        transfer->lastMoved = Clock::now();
        return transfer->takeHeaderLine(std::string_view(data, bytes)) ? bytes : 0;
    }

    // False stops this hop: a head past its bound, a redirect (refused, or followed by a hop of
    // its own: its body is never read), or an answer that declares more than the request takes.
    bool takeHeaderLine(std::string_view line) {
        headBytes += line.size();
        if (headBytes > HttpSession::kMaxHeadBytes) {
            failure = HttpResponse::Failure::headTooLarge;
            return false;
        }
        if (inBody) return true;  // a trailer
        if (!trimmed(line).empty()) {
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos) return true;
            const std::string_view name = line.substr(0, colon);
            if (sameName(name, "Location"))
                locations.emplace_back(trimmed(line.substr(colon + 1)));
            else if (sameName(name, "Content-Encoding") || sameName(name, "Transfer-Encoding"))
                transformed = true;
            return true;
        }

        // The end of a head: an interim one, a redirect's, or the answer's own.
        const std::vector<std::string> found = std::exchange(locations, {});
        const bool bodyTransformed = std::exchange(transformed, false);
        const long code = status();
        if (code < 200) return true;
        if (followable(code) && !found.empty()) {
            judgeRedirect(code, found);
            return false;
        }
        inBody = true;
        curl_off_t declared = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
        if (declared > static_cast<curl_off_t>(request.maxResponseBytes)) {
            failure = HttpResponse::Failure::tooLarge;
            return false;
        }
        if (!request.onBody) {
            // A declared length is the size taken only of a body that comes as it is.
            const bool known = declared >= 0 && !bodyTransformed;
            reserveUpTo(known ? static_cast<size_t>(declared) : request.maxResponseBytes);
        }
        deliverStatus();
        return true;
    }

    // The body grows in place, never copied to a larger buffer: a copy would hold the old and
    // the new one at once, and a freed buffer may stay resident. Pages of the reservation that
    // the answer never fills are never touched, so they cost nothing; a small answer gives them
    // back at the end (shrinkBody).
    void reserveUpTo(size_t bytes) {
        try {
            response.reserve(std::min(bytes, request.maxResponseBytes));
        } catch (const std::bad_alloc&) {
            // Without the reservation the body grows as it comes.
        }
    }

    void shrinkBody() {
        if (response.capacity() > 2 * response.size() + 4096) response.shrink_to_fit();
    }

    // Sets where the exchange goes next, or why it goes nowhere. Only an address known for sure
    // is followed: Location lines that all say the same, which reads as an address.
    void judgeRedirect(long code, const std::vector<std::string>& found) {
        using Refusal = HttpResponse::RedirectRefusal;
        const auto refuse = [this](Refusal why, std::string scheme = {}) {
            failure = HttpResponse::Failure::redirectRefused;
            refusal = why;
            refusedScheme = std::move(scheme);
        };
        const bool oneAddress =
            std::all_of(found.begin(), found.end(), [&](const auto& l) { return l == found.front(); });
        const auto target = oneAddress ? redirectTarget(lastURL(), found.front()) : std::nullopt;
        if (!target) return refuse(Refusal::unclearAddress);
        const auto& [from, to, url] = *target;
        const bool downgrade = from.scheme == "https" && to.scheme == "http";
        if ((to.scheme != "http" && to.scheme != "https") || downgrade) return refuse(Refusal::scheme, to.scheme);
        if (request.redirects == HttpRequest::Redirects::sameOrigin && from != to)
            return refuse(Refusal::anotherOrigin);
        next = url;
        nextStatus = code;
        crossedOrigin = crossedOrigin || from != to;
    }

    // Starts the hop a followed redirect asked for, on a handle of its own; the exchange's end
    // when there is none.
    std::optional<HttpResponse> hop(const Setup& setup) {
        errorBuffer[0] = '\0';
        if (++redirects > HttpSession::kMaxRedirects) return outcome(CURLE_TOO_MANY_REDIRECTS);
        request.url = *std::exchange(next, std::nullopt);
        // As browsers do: 303 fetches what it names; 300-302 turn a POST into a GET.
        const bool toGet = nextStatus == 303 ? request.method != "HEAD" : nextStatus <= 302 && request.method == "POST";
        if (toGet) {
            request.method = "GET";
            request.body.clear();
            bodyDropped = true;
        }
        curl_easy_cleanup(std::exchange(easy, nullptr));
        curl_slist_free_all(std::exchange(headers, nullptr));
        headBytes = 0;
        inBody = false;
        moved = -1;
        lastMoved = Clock::now();
        if (!prepare(setup)) {
            HttpResponse out = notStarted(HttpResponse::Failure::transport, CURLE_FAILED_INIT, kNotStartedReason);
            out.lastURL = request.url;
            return out;
        }
        return std::nullopt;
    }

    static int progress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
        auto* transfer = static_cast<Transfer*>(self);
        if (received + sent != transfer->moved) {
            transfer->moved = received + sent;
            transfer->lastMoved = Clock::now();
        }
        return 0;
    }

    // When the exchange runs out of time, if it still runs then.
    Clock::time_point expiry() const {
        Clock::time_point at = lastMoved + request.idleTimeout;
        if (request.deadline.count() > 0) at = std::min(at, started + request.deadline);
        return at;
    }

    // Prepares the easy handle; false when libcurl refuses.
    bool prepare(const Setup& setup) {
        easy = curl_easy_init();
        if (!easy) return false;
        std::vector<std::pair<std::string, std::string>> all(setup.headers.begin(), setup.headers.end());
        for (const auto& header : request.headers) {
            std::erase_if(all, [&](const auto& earlier) { return sameName(earlier.first, header.first); });
            all.push_back(header);
        }
        for (const auto& [name, value] : all) {
            // Credentials stay with the origin they were meant for.
            if (crossedOrigin && (sameName(name, "Authorization") || sameName(name, "Cookie"))) continue;
            if (bodyDropped && describesBody(name)) continue;
            // libcurl must know the encoding it asked for, or it hands the answer over still encoded.
            if (sameName(name, "Accept-Encoding")) {
                curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, value.c_str());
                continue;
            }
            headers = curl_slist_append(headers, (name + ": " + value).c_str());
        }
        // No "Expect: 100-continue" round trip before a body.
        headers = curl_slist_append(headers, "Expect:");

        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kProtocols);
        if (!setup.trustedCertificates.empty()) {
            curl_blob certificates{const_cast<char*>(setup.trustedCertificates.data()),
                                   setup.trustedCertificates.size(), CURL_BLOB_COPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &certificates);
        }
        // Redirects are followed by hop(), so that the address judged is the one gone to.
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        // The head of a proxy's tunnel is no head of the answer.
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         std::max<long>(1, static_cast<long>(request.idleTimeout.count())));
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        if (request.method == "POST") {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        } else if (request.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
            if (!request.body.empty()) {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
            }
        }
        return true;
    }

    std::string refusalDescription() const {
        switch (refusal) {
        case HttpResponse::RedirectRefusal::scheme:
            return refusedScheme == "http" ? "Redirect from https to http not followed"
                                           : "Redirect to the scheme " + refusedScheme + " not followed";
        case HttpResponse::RedirectRefusal::unclearAddress: return "Redirect to an unclear address not followed";
        case HttpResponse::RedirectRefusal::anotherOrigin:
        case HttpResponse::RedirectRefusal::none: break;
        }
        return "Redirect to another origin not followed";
    }

    // The end of an exchange the session stopped itself (cancelled, out of time).
    HttpResponse stopped(HttpResponse::Failure why) {
        failure = why;
        return outcome(why == HttpResponse::Failure::timedOut ? CURLE_OPERATION_TIMEDOUT : CURLE_ABORTED_BY_CALLBACK);
    }

    HttpResponse outcome(CURLcode result) {
        HttpResponse out;
        out.lastURL = lastURL();
        // libcurl refuses a single header line past its own bound as if memory had run out.
        if (result == CURLE_OUT_OF_MEMORY && !inBody && failure == HttpResponse::Failure::none)
            failure = HttpResponse::Failure::headTooLarge;
        if (result == CURLE_OK && failure == HttpResponse::Failure::none) {
            const long code = status();
            if (code == 0) return out;
            out.statusCode = code;
            if (!request.onBody) {
                shrinkBody();
                out.data = std::move(response);
            }
            return out;
        }
        std::string description = curl_easy_strerror(result);
        switch (failure) {
        case HttpResponse::Failure::none:
            failure =
                result == CURLE_OPERATION_TIMEDOUT ? HttpResponse::Failure::timedOut : HttpResponse::Failure::transport;
            if (failure == HttpResponse::Failure::transport) {
                long osErrno = 0;
                curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
                out.reason = readableReason(result, osErrno, errorBuffer);
            }
            if (errorBuffer[0]) description += std::string(": ") + errorBuffer;
            break;
        case HttpResponse::Failure::tooLarge:
            description += ": the answer is larger than " + std::to_string(request.maxResponseBytes) + " bytes";
            break;
        case HttpResponse::Failure::headTooLarge:
            description +=
                ": the answer's head is larger than " + std::to_string(HttpSession::kMaxHeadBytes) + " bytes";
            break;
        case HttpResponse::Failure::timedOut:
            description = std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) + ": nothing moved for " +
                          std::to_string(request.idleTimeout.count()) + " ms, or the exchange passed its deadline";
            break;
        case HttpResponse::Failure::redirectRefused: description = refusalDescription(); break;
        case HttpResponse::Failure::cancelled: description = "The exchange was cancelled"; break;
        case HttpResponse::Failure::transport: break;
        }
        if (out.reason.empty()) out.reason = description;
        out.failure = failure;
        out.redirectRefusal = refusal;
        out.refusedScheme = refusedScheme;
        out.error = TransportError{static_cast<int>(result), std::move(description)};
        return out;
    }
};

void complete(const HttpSession::Completion& completion, HttpResponse response) {
    // A completion that throws must not take the session's thread, and every later exchange, down.
    try {
        completion(std::move(response));
    } catch (const std::exception& e) {
        hedgeLog(std::string("An HTTP completion failed: ") + e.what());
    } catch (...) {
        hedgeLog("An HTTP completion failed");
    }
}

}  // namespace

std::optional<std::string> HttpRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (sameName(key, name)) return value;
    return std::nullopt;
}

struct HttpSession::State {
    State(Setup setup, std::string threadName) : setup(std::move(setup)), threadName(std::move(threadName)) {
        initialiseCurlOnce();
        multi = curl_multi_init();
    }
    ~State() {
        if (multi) curl_multi_cleanup(multi);
    }

    void run();

    const Setup setup;
    const std::string threadName;
    CURLM* multi = nullptr;
    std::atomic<ExchangeId> lastId{0};
    std::mutex lock;  // guards pending, cancels, cancelThrough and stopping
    std::condition_variable woken;
    std::deque<std::unique_ptr<Transfer>> pending;
    std::unordered_set<ExchangeId> cancels;
    ExchangeId cancelThrough = 0;  // every exchange up to this one is cancelled
    bool stopping = false;
};

void HttpSession::State::run() {
    pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> active;
    const auto finish = [&](std::unique_ptr<Transfer> transfer, HttpResponse response) {
        auto completion = std::move(transfer->completion);
        transfer.reset();
        complete(completion, std::move(response));
    };
    const auto end = [&](CURL* easy, HttpResponse::Failure why) {
        auto found = active.find(easy);
        curl_multi_remove_handle(multi, easy);
        auto transfer = std::move(found->second);
        active.erase(found);
        auto response = transfer->stopped(why);
        finish(std::move(transfer), std::move(response));
    };
    while (true) {
        std::deque<std::unique_ptr<Transfer>> incoming;
        std::unordered_set<ExchangeId> cancelled;
        ExchangeId through = 0;
        bool stop = false;
        {
            std::lock_guard guard(lock);
            incoming.swap(pending);
            cancelled.swap(cancels);
            through = cancelThrough;
            stop = stopping;
        }
        for (auto& transfer : incoming) {
            if (transfer->id <= through || cancelled.contains(transfer->id)) {
                finish(std::move(transfer), notStarted(HttpResponse::Failure::cancelled, CURLE_ABORTED_BY_CALLBACK,
                                                       "The exchange was cancelled"));
                continue;
            }
            if (!multi || !transfer->prepare(setup) || curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
                finish(std::move(transfer),
                       notStarted(HttpResponse::Failure::transport, CURLE_FAILED_INIT, kNotStartedReason));
                continue;
            }
            CURL* easy = transfer->easy;
            active.emplace(easy, std::move(transfer));
        }
        if (!multi) {
            // Without a multi handle every exchange fails at once; wait for the next one.
            std::unique_lock guard(lock);
            woken.wait(guard, [&] { return stopping || !pending.empty(); });
            if (pending.empty()) break;
            continue;
        }
        std::vector<CURL*> ending;
        for (const auto& [easy, transfer] : active)
            if (transfer->id <= through || cancelled.contains(transfer->id)) ending.push_back(easy);
        for (CURL* easy : ending) end(easy, HttpResponse::Failure::cancelled);

        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            curl_multi_remove_handle(multi, easy);
            auto found = active.find(easy);
            if (found == active.end()) continue;
            auto transfer = std::move(found->second);
            active.erase(found);
            if (transfer->next && transfer->failure == HttpResponse::Failure::none) {
                auto ended = transfer->hop(setup);
                if (!ended && curl_multi_add_handle(multi, transfer->easy) != CURLM_OK)
                    ended = notStarted(HttpResponse::Failure::transport, CURLE_FAILED_INIT, kNotStartedReason);
                if (!ended) {
                    CURL* next = transfer->easy;
                    active.emplace(next, std::move(transfer));
                    continue;
                }
                finish(std::move(transfer), std::move(*ended));
                continue;
            }
            auto response = transfer->outcome(result);
            finish(std::move(transfer), std::move(response));
        }

        // Time-outs are the session's own: libcurl's low-speed check averages over seconds.
        const auto now = Clock::now();
        auto nextExpiry = now + kLongestPoll;
        ending.clear();
        for (const auto& [easy, transfer] : active) {
            const auto expiry = transfer->expiry();
            if (expiry <= now)
                ending.push_back(easy);
            else
                nextExpiry = std::min(nextExpiry, expiry);
        }
        for (CURL* easy : ending) end(easy, HttpResponse::Failure::timedOut);

        if (stop && active.empty()) {
            std::lock_guard guard(lock);
            if (pending.empty()) break;
            continue;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextExpiry - now);
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<int64_t>(1, wait.count())), nullptr);
    }
}

HttpSession::HttpSession(std::map<std::string, std::string> headers, std::string threadName,
                         std::string trustedCertificates)
    : state_(std::make_shared<State>(Setup{std::move(headers), std::move(trustedCertificates)}, std::move(threadName))),
      thread_([state = state_] { state->run(); }) {}

HttpSession::~HttpSession() {
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
    }
    wake();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

HttpSession::ExchangeId HttpSession::send(HttpRequest request, Completion completion) {
    const ExchangeId id = ++state_->lastId;
    {
        std::lock_guard guard(state_->lock);
        state_->pending.push_back(std::make_unique<Transfer>(id, std::move(request), std::move(completion)));
    }
    wake();
    return id;
}

void HttpSession::cancel(ExchangeId exchange) {
    {
        std::lock_guard guard(state_->lock);
        state_->cancels.insert(exchange);
    }
    wake();
}

void HttpSession::cancelAll() {
    {
        std::lock_guard guard(state_->lock);
        state_->cancelThrough = state_->lastId.load();
    }
    wake();
}

void HttpSession::wake() {
    state_->woken.notify_all();
    if (state_->multi) curl_multi_wakeup(state_->multi);
}

}  // namespace orbit
