#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testservers {

// An https server on 127.0.0.1 and an ephemeral port, with a certificate made for it when it is
// built (self-signed, for "localhost" and 127.0.0.1, valid for a day). A client trusts it only by
// taking certificatePem(). Each request is recorded, then answered by the function given, on the
// server's threads.
class HttpsServer {
public:
    struct Request {
        std::string method;
        std::string path;
        std::map<std::string, std::string> headers;  // names lower-cased
        std::string body;                            // gzip already undone
    };
    struct Answer {
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
    };
    using Answering = std::function<Answer(const Request&)>;

    explicit HttpsServer(Answering answering);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    // host: "127.0.0.1", or "localhost" for another origin of the same server.
    std::string url(const std::string& path = "/", const std::string& host = "127.0.0.1") const;
    const std::string& certificatePem() const;
    std::vector<Request> requests() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testservers
