#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include <gtest/gtest.h>

#include "orbit/HttpSession.h"
#include "orbit/Utils/Gzip.h"
#include "support/PeakMemory.h"

namespace {

using orbit::HttpRequest;
using orbit::HttpResponse;
using namespace std::chrono_literals;

constexpr int64_t kMiB = 1024 * 1024;

// A server on loopback that answers each request with bytes a test writes out whole, as a hostile
// server may: any head, and a chunked body that never ends (written until the client closes).
class RawServer {
public:
    struct Request {
        std::string head;  // request line and headers
        std::string body;
    };
    struct Answer {
        std::string head;  // status line and headers, without the blank line that ends them
        std::string body;
        bool endless = false;  // a chunked body written until the client closes
    };
    using Answering = std::function<Answer(const Request&)>;

    explicit RawServer(Answering answering) : answering_(std::move(answering)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener_, 16) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawServer() {
        stopping_ = true;
        thread_.join();
        close(listener_);
    }

    std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<Request> requests() const {
        std::lock_guard guard(lock_);
        return requests_;
    }
    int64_t written() const { return written_; }

private:
    static constexpr int64_t kMostWritten = int64_t(4) * 1024 * kMiB;

    bool readable(int fd) const {
        while (!stopping_) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 50) > 0) return true;
        }
        return false;
    }

    void serve() {
        while (readable(listener_)) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            answer(client);
            close(client);
        }
    }

    void answer(int client) {
        Request request;
        std::string received;
        char buffer[4096];
        size_t headEnd = std::string::npos;
        size_t bodyLength = 0;
        while (headEnd == std::string::npos || received.size() < headEnd + 4 + bodyLength) {
            if (!readable(client)) return;
            const ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            received.append(buffer, static_cast<size_t>(n));
            if (headEnd == std::string::npos && (headEnd = received.find("\r\n\r\n")) != std::string::npos) {
                const size_t length = received.find("Content-Length: ");
                if (length != std::string::npos && length < headEnd)
                    bodyLength = std::stoul(received.substr(length + 16));
            }
        }
        request.head = received.substr(0, headEnd);
        request.body = received.substr(headEnd + 4, bodyLength);
        {
            std::lock_guard guard(lock_);
            requests_.push_back(request);
        }
        const Answer given = answering_(request);
        if (!write(client, given.head + "\r\n\r\n" + given.body) || !given.endless) return;
        const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
        while (!stopping_ && written_ < kMostWritten && write(client, chunk)) {}
    }

    bool write(int client, const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
            written_ += n;
        }
        return true;
    }

    const Answering answering_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> written_{0};
    mutable std::mutex lock_;
    std::vector<Request> requests_;
    std::thread thread_;
};

RawServer::Answer answer(std::string head, std::string body = "") {
    return {std::move(head) + "\r\nContent-Length: " + std::to_string(body.size()), std::move(body)};
}

class HttpSessionTest : public ::testing::Test {
protected:
    // The exchange's end; a failure of the test when it never ends.
    HttpResponse exchange(HttpRequest request) {
        auto done = std::make_shared<std::promise<HttpResponse>>();
        auto ended = done->get_future();
        const auto id = session_.send(std::move(request), [done](HttpResponse response) { done->set_value(response); });
        if (ended.wait_for(60s) == std::future_status::ready) return ended.get();
        ADD_FAILURE() << "the exchange never ended";
        session_.cancel(id);
        return ended.get();
    }

    orbit::HttpSession session_{{{"Accept-Encoding", ""}}, "test.http"};
};

// The rule is judged on the address the session goes to: with two Location lines, or on a status
// that is no redirect to follow, nothing reaches the other origin, while a clear redirect is
// followed with the request's body, and elsewhere without its credentials.
TEST_F(HttpSessionTest, ARedirectIsFollowedOnlyToTheAddressItWasJudgedOn) {
    RawServer elsewhere([](const RawServer::Request&) { return answer("HTTP/1.1 200 OK", "elsewhere"); });
    RawServer home([&](const RawServer::Request& request) {
        if (request.head.starts_with("POST /two ")) {
            return answer("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + elsewhere.url() + "\r\nLocation: /done");
        }
        if (request.head.starts_with("POST /proxy "))
            return answer("HTTP/1.1 305 Use Proxy\r\nLocation: " + elsewhere.url());
        if (request.head.starts_with("POST /same "))
            return answer("HTTP/1.1 307 Temporary Redirect\r\nLocation: /done");
        if (request.head.starts_with("POST /away "))
            return answer("HTTP/1.1 308 Permanent Redirect\r\nLocation: " + elsewhere.url());
        return answer("HTTP/1.1 200 OK", "home");
    });
    const auto post = [&](const std::string& path, HttpRequest::Redirects rule) {
        HttpRequest request;
        request.method = "POST";
        request.url = home.url(path);
        request.body = R"({"refresh_token":"secret"})";
        request.headers = {{"Authorization", "Bearer secret"}};
        request.redirects = rule;
        return exchange(std::move(request));
    };

    const auto twoLocations = post("/two", HttpRequest::Redirects::sameOrigin);
    EXPECT_EQ(twoLocations.failure, HttpResponse::Failure::redirectRefused);
    EXPECT_EQ(twoLocations.redirectRefusal, HttpResponse::RedirectRefusal::unclearAddress);
    const auto useProxy = post("/proxy", HttpRequest::Redirects::sameOrigin);
    EXPECT_EQ(useProxy.failure, HttpResponse::Failure::none);
    EXPECT_EQ(useProxy.statusCode, 305) << "a 305 is an answer, not a redirect to follow";
    EXPECT_TRUE(elsewhere.requests().empty());

    const auto same = post("/same", HttpRequest::Redirects::sameOrigin);
    EXPECT_EQ(same.data, "home");
    const auto followed = home.requests().back();
    EXPECT_TRUE(followed.head.starts_with("POST /done ")) << followed.head;
    EXPECT_EQ(followed.body, R"({"refresh_token":"secret"})");

    const auto away = post("/away", HttpRequest::Redirects::anyWebAddress);
    EXPECT_EQ(away.data, "elsewhere");
    ASSERT_EQ(elsewhere.requests().size(), 1u);
    EXPECT_EQ(elsewhere.requests()[0].body, R"({"refresh_token":"secret"})");
    EXPECT_EQ(elsewhere.requests()[0].head.find("secret"), std::string::npos) << "credentials stay at home";
}

// Neither a redirect's body nor a head is read without a bound, and a compressed answer that
// declares its (compressed) length costs its limit, not a buffer grown by doubling past it.
TEST_F(HttpSessionTest, EveryPartOfAnAnswerIsTakenAgainstItsBound) {
    const std::string zeros(96 * kMiB, '\0');
    const std::string compressed = orbit::gzipped(zeros);
    RawServer server([&](const RawServer::Request& request) -> RawServer::Answer {
        const std::string endlessBody = "\r\nTransfer-Encoding: chunked";
        if (request.head.starts_with("GET /redirect "))
            return {"HTTP/1.1 307 Temporary Redirect\r\nLocation: /done" + endlessBody, "", true};
        if (request.head.starts_with("GET /loop "))
            return {"HTTP/1.1 307 Temporary Redirect\r\nLocation: /loop" + endlessBody, "", true};
        if (request.head.starts_with("GET /head ")) {
            std::string lines = "HTTP/1.1 200 OK";
            while (lines.size() < orbit::HttpSession::kMaxHeadBytes) lines += "\r\nX-Filler: " + std::string(100, 'x');
            return answer(lines);
        }
        if (request.head.starts_with("GET /line "))
            return answer("HTTP/1.1 200 OK\r\nX-Big: " + std::string(kMiB, 'x'));
        if (request.head.starts_with("GET /gzip "))
            return answer("HTTP/1.1 200 OK\r\nContent-Encoding: gzip", compressed);
        return answer("HTTP/1.1 200 OK", "done");
    });
    const auto get = [&](const std::string& path, size_t limit = orbit::kDefaultMaxResponseBytes) {
        HttpRequest request;
        request.url = server.url(path);
        request.maxResponseBytes = limit;
        request.redirects = HttpRequest::Redirects::sameOrigin;
        return exchange(std::move(request));
    };

    EXPECT_EQ(get("/redirect").data, "done");
    const auto loop = get("/loop");
    EXPECT_EQ(loop.failure, HttpResponse::Failure::transport);
    EXPECT_EQ(loop.reason, "Too many redirects");
    EXPECT_LT(server.written(), 64 * kMiB);
    EXPECT_EQ(get("/head").failure, HttpResponse::Failure::headTooLarge);
    EXPECT_EQ(get("/line").failure, HttpResponse::Failure::headTooLarge);

    // A limit a little past a doubling of the declared length: grown by doubling, the buffer
    // would hold about twice the limit at its last copy.
    size_t limit = compressed.size();
    while (limit < 32 * kMiB) limit *= 2;
    limit += kMiB;
    testsupport::resetPeakResidentBytes();
    const int64_t before = testsupport::peakResidentBytes();
    const auto huge = get("/gzip", limit);
    EXPECT_EQ(huge.failure, HttpResponse::Failure::tooLarge);
    EXPECT_LT(testsupport::peakResidentBytes() - before, int64_t(limit) + 16 * kMiB);
}

}  // namespace
