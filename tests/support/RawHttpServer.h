#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A server on loopback that answers each request with whatever bytes it is given, as a hostile
// server may: any head, any framing, and a chunked body that never ends (written until the client
// closes). One connection at a time; every loop ends when the server is destroyed.
class RawHttpServer {
public:
    struct Request {
        std::string head;  // request line and headers
        std::string body;
    };
    struct Answer {
        std::string bytes;     // written as they stand
        bool endless = false;  // then chunks of a body that never ends
    };
    using Answering = std::function<Answer(const Request&)>;

    explicit RawHttpServer(Answering answering) : answering_(std::move(answering)) {
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
    ~RawHttpServer() {
        stopping_ = true;
        thread_.join();
        close(listener_);
    }
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    // The requests read whole, oldest first.
    std::vector<Request> requests() const {
        std::lock_guard guard(lock_);
        return requests_;
    }
    // The connections taken, whether or not a whole request came on them.
    int connections() const { return connections_; }
    int64_t written() const { return written_; }

private:
    static constexpr int64_t kMostWritten = int64_t(4) << 30;

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
            ++connections_;
            answer(client);
            close(client);
        }
    }

    void answer(int client) {
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
        const Request request{received.substr(0, headEnd), received.substr(headEnd + 4, bodyLength)};
        {
            std::lock_guard guard(lock_);
            requests_.push_back(request);
        }
        const Answer given = answering_(request);
        if (!write(client, given.bytes) || !given.endless) return;
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
    std::atomic<int> connections_{0};
    std::atomic<int64_t> written_{0};
    mutable std::mutex lock_;
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace testsupport
