#include "orbit/HttpSession.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>

#include <curl/curl.h>

#include "orbit/Utils/HedgeLog.h"

namespace orbit {
namespace {

constexpr const char* kThreadName = "orbit.http";
constexpr int kPollMilliseconds = 1000;  // the longest wait before looking at time-outs again
constexpr const char* kProtocols = "http,https";

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One exchange from the moment the thread takes it up.
struct Transfer {
    HttpRequest request;
    HttpSession::Completion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string response;
    bool tooLarge = false;
    // The bytes sent and received so far, and when that count last changed.
    curl_off_t moved = -1;
    std::chrono::steady_clock::time_point lastMoved;
    bool stalled = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    Transfer(HttpRequest request, HttpSession::Completion completion)
        : request(std::move(request)), completion(std::move(completion)) {}
    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    static size_t write(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        const size_t bytes = size * count;
        if (transfer->response.size() + bytes > HttpSession::kMaxResponseBytes) {
            transfer->tooLarge = true;
            return 0;  // ends the exchange with CURLE_WRITE_ERROR
        }
        transfer->response.append(data, bytes);
        return bytes;
    }

    // libcurl's own low-speed check averages over several seconds, so a stall would be noticed
    // only well after the idle time; counting the bytes notices it within the session's poll.
    static int progress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
        auto* transfer = static_cast<Transfer*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (received + sent != transfer->moved) {
            transfer->moved = received + sent;
            transfer->lastMoved = now;
            return 0;
        }
        if (now - transfer->lastMoved < transfer->request.idleTimeout) return 0;
        transfer->stalled = true;
        return 1;  // ends the exchange with CURLE_ABORTED_BY_CALLBACK
    }

    // Prepares the easy handle; false when libcurl refuses.
    bool prepare(const std::map<std::string, std::string>& sessionHeaders) {
        easy = curl_easy_init();
        if (!easy) return false;
        std::vector<std::pair<std::string, std::string>> all(sessionHeaders.begin(), sessionHeaders.end());
        for (const auto& [name, value] : request.headers) {
            std::erase_if(all, [&](const auto& header) { return sameName(header.first, name); });
            all.emplace_back(name, value);
        }
        for (const auto& [name, value] : all) {
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
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, HttpSession::kMaxRedirects);
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         std::max<long>(1, static_cast<long>(request.idleTimeout.count())));
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(HttpSession::kMaxResponseBytes));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        if (request.method == "POST") {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        } else if (request.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        return true;
    }

    HttpResponse outcome(CURLcode result) const {
        HttpResponse out;
        if (stalled && result != CURLE_OK) {
            out.error =
                TransportError{CURLE_OPERATION_TIMEDOUT, std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) +
                                                             ": nothing moved for " +
                                                             std::to_string(request.idleTimeout.count()) + " ms"};
            return out;
        }
        if (result != CURLE_OK) {
            std::string description = curl_easy_strerror(result);
            if (tooLarge || result == CURLE_FILESIZE_EXCEEDED)
                description +=
                    ": the answer is larger than " + std::to_string(HttpSession::kMaxResponseBytes) + " bytes";
            else if (errorBuffer[0])
                description += std::string(": ") + errorBuffer;
            out.error = TransportError{static_cast<int>(result), std::move(description)};
            return out;
        }
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status == 0) return out;
        out.statusCode = status;
        out.data = response;
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
    explicit State(std::map<std::string, std::string> headers) : headers(std::move(headers)) {
        initialiseCurlOnce();
        multi = curl_multi_init();
    }
    ~State() {
        if (multi) curl_multi_cleanup(multi);
    }

    void run();

    const std::map<std::string, std::string> headers;
    CURLM* multi = nullptr;
    std::mutex lock;  // guards pending and stopping
    std::condition_variable woken;
    std::deque<std::unique_ptr<Transfer>> pending;
    bool stopping = false;
};

void HttpSession::State::run() {
    pthread_setname_np(pthread_self(), kThreadName);
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> active;
    while (true) {
        std::deque<std::unique_ptr<Transfer>> incoming;
        bool stop = false;
        {
            std::lock_guard guard(lock);
            incoming.swap(pending);
            stop = stopping;
        }
        for (auto& transfer : incoming) {
            if (!multi || !transfer->prepare(headers) || curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
                complete(
                    transfer->completion,
                    HttpResponse{
                        TransportError{CURLE_FAILED_INIT, "The HTTP library could not start the request"}, {}, {}});
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
            auto response = transfer->outcome(result);
            auto completion = std::move(transfer->completion);
            transfer.reset();
            complete(completion, std::move(response));
        }

        if (stop && active.empty()) {
            std::lock_guard guard(lock);
            if (pending.empty()) break;
            continue;
        }
        curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
    }
}

HttpSession::HttpSession(std::map<std::string, std::string> headers)
    : state_(std::make_shared<State>(std::move(headers))), thread_([state = state_] { state->run(); }) {}

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

void HttpSession::send(HttpRequest request, Completion completion) {
    {
        std::lock_guard guard(state_->lock);
        state_->pending.push_back(std::make_unique<Transfer>(std::move(request), std::move(completion)));
    }
    wake();
}

void HttpSession::wake() {
    state_->woken.notify_all();
    if (state_->multi) curl_multi_wakeup(state_->multi);
}

}  // namespace orbit
