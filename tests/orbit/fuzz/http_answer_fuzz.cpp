// libFuzzer target over what a hostile server may answer the HTTP session: the input is written
// as the whole answer (status line, headers, body in any framing and encoding) on a loopback
// connection, read once whole and once as a stream, both against a small limit, by a request that
// may follow redirects only within its origin. "@H" in the input stands for the answering server's
// address and "@E" for another origin's. Checked: the exchange ends, no body past the limit is ever
// taken, nothing is taken after a failure, and the other origin is never reached. Not part of the
// build; from the top of the tree:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src tests/orbit/fuzz/http_answer_fuzz.cpp \
//     src/orbit/HttpSession.cpp src/orbit/Utils/HedgeLog.cpp src/posix/*.cpp -lcurl -o /tmp/http_answer_fuzz
//   /tmp/http_answer_fuzz -max_total_time=300 -max_len=4096 -timeout=20
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "orbit/HttpSession.h"

namespace {

constexpr size_t kLimit = 1024;

int listener(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) abort();
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Answers one connection with the input, then closes it.
void answerOnce(int server, const std::string& answer) {
    const int client = accept(server, nullptr, nullptr);
    if (client < 0) return;
    char request[4096];
    (void)!recv(client, request, sizeof request, 0);
    for (size_t sent = 0; sent < answer.size();) {
        const ssize_t n = send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    close(client);
}

std::string address(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port); }

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
        text.replace(at, mark.size(), by);
    return text;
}

// Whether anybody connected to the listener since it was made.
bool reached(int server) {
    pollfd pending{server, POLLIN, 0};
    return poll(&pending, 1, 0) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static orbit::HttpSession session({{"Accept-Encoding", ""}}, "fuzz.http");
    static uint16_t elsewherePort = 0;
    static const int elsewhere = listener(elsewherePort);
    const std::string input(reinterpret_cast<const char*>(data), size);

    for (const bool streamed : {false, true}) {
        // A listener of its own each time: a redirect that is followed finds nobody there.
        uint16_t port = 0;
        const int server = listener(port);
        const std::string answer = replaced(replaced(input, "@H", address(port)), "@E", address(elsewherePort));
        std::thread serving(answerOnce, server, answer);
        orbit::HttpRequest request;
        request.url = address(port) + "/";
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
        serving.join();
        close(server);
        if (streamedBytes > kLimit) abort();
        if (response.data && response.data->size() > kLimit) abort();
        if (response.failure != orbit::HttpResponse::Failure::none && response.data) abort();
        if (reached(elsewhere)) abort();
    }
    return 0;
}
