// libFuzzer target over what a hostile server may answer the HTTP session: the input is written
// as the whole answer (status line, headers, body in any framing and encoding) on a loopback
// connection, to every request a redirect leads there too, and read once whole and once as a
// stream, both against a small limit, by a request that may follow redirects only within its
// origin. "@H" in the input stands for the answering server's address and "@E" for another
// origin's. Checked: the exchange ends, no body past the limit is ever taken, nothing is taken
// after a failure, and the other origin is never reached. Not part of the build; from the top of
// the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src -I tests tests/orbit/fuzz/http_answer_fuzz.cpp \
//     src/orbit/HttpSession.cpp src/orbit/Utils/HedgeLog.cpp src/posix/*.cpp -lcurl -o /tmp/http_answer_fuzz
//   /tmp/http_answer_fuzz -max_total_time=300 -max_len=4096 -timeout=20
#include <cstdint>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>

#include "orbit/HttpSession.h"
#include "support/RawHttpServer.h"

namespace {

constexpr size_t kLimit = 1024;

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
        text.replace(at, mark.size(), by);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static orbit::HttpSession session({{"Accept-Encoding", ""}}, "fuzz.http");
    // Every connection to home gets the input as it stands, the redirects it follows included.
    static std::mutex lock;
    static std::string current;
    static testsupport::RawHttpServer home([](const auto&) {
        std::lock_guard guard(lock);
        return testsupport::RawHttpServer::Answer{current};
    });
    static testsupport::RawHttpServer elsewhere([](const auto&) { return testsupport::RawHttpServer::Answer{}; });
    {
        const std::string input(reinterpret_cast<const char*>(data), size);
        std::lock_guard guard(lock);
        current = replaced(replaced(input, "@H", home.url("")), "@E", elsewhere.url(""));
    }

    for (const bool streamed : {false, true}) {
        orbit::HttpRequest request;
        request.url = home.url();
        request.idleTimeout = std::chrono::milliseconds(2000);
        request.maxResponseBytes = kLimit;
        request.redirects = orbit::HttpRequest::Redirects::sameOrigin;
        size_t streamedBytes = 0;
        if (streamed) {
            request.onStatus = [](int64_t) {};
            request.onBody = [&](std::string_view piece) { streamedBytes += piece.size(); };
        }
        std::promise<orbit::HttpResponse> done;
        session.send(std::move(request), [&](orbit::HttpResponse response) { done.set_value(std::move(response)); });
        const orbit::HttpResponse response = done.get_future().get();
        if (streamedBytes > kLimit) abort();
        if (response.data && response.data->size() > kLimit) abort();
        if (response.failure != orbit::HttpResponse::Failure::none && response.data) abort();
        if (elsewhere.connections() != 0) abort();
    }
    return 0;
}
