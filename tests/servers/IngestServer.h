#pragma once
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testservers {

// One request as the ingest server received it. Header names are lower-cased; the body is the
// one sent, gzip already undone.
struct IngestRequest {
    std::string route;  // "batch", "snapshot", "logs", "flags", "config", or empty for an unknown path
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;
    std::string body;
    nlohmann::json json;                // the body read as JSON; discarded when it is not JSON
    std::vector<std::string> problems;  // every way the request breaks the client's wire contract

    std::string header(const std::string& name) const;
    nlohmann::json toJson() const;
};

// What the next requests to one route get instead of the default answer.
struct IngestAnswer {
    int status = 200;
    std::string body;
    std::map<std::string, std::string> headers;  // e.g. a "Content-Encoding" of a body sent as is
    int delayMs = 0;
    bool dropConnection = false;  // send the status line and headers, then close mid-body
    int trickleMs = 0;            // send the body one byte at a time, this long apart
    int count = 1;
};

// A stand-in for the analytics service on 127.0.0.1 and an ephemeral port, in process or as the
// program sablix_test_ingest. Routes are told apart by how the path ends, so a host with a base
// path works too:
//   POST .../batch, POST ...<snapshot endpoint>, POST .../i/v1/logs?token=, POST .../flags?v=2,
//   GET .../array/<token>/config.
// Each request is checked against the client's contract (method, headers, query, gzip, body keys,
// and for logs the hex trace and span ids and the decimal times a collector insists on)
// and recorded; a request with problems is answered 400 with them. Gzip request bodies are
// decoded by the HTTP server (a body that does not inflate is answered 400 before any route sees
// it). Control over HTTP, as for the stand-in backend:
//   GET  /__test/log     the recorded requests, oldest first
//   POST /__test/reset   forget requests and answers
//   POST /__test/answer  {"route", "status", "body", "headers", "ms", "drop", "trickleMs", "count"}
class IngestServer {
public:
    static constexpr size_t kMaxRecordedRequests = 1000;
    static constexpr int kMaxAnswerCount = 1000;
    static constexpr int kMaxDelayMs = 60'000;
    static constexpr int kMaxStartWaitMs = 5'000;

    explicit IngestServer(std::string snapshotEndpoint = "/s/");
    ~IngestServer();
    IngestServer(const IngestServer&) = delete;
    IngestServer& operator=(const IngestServer&) = delete;

    // Binds and starts serving; false when no port could be bound.
    bool start();
    void stop();
    int port() const { return port_; }
    std::string baseURL() const;

    std::vector<IngestRequest> requests() const;
    void reset();
    void answer(const std::string& route, IngestAnswer answer);

private:
    void installControls();
    void serve(const httplib::Request& request, httplib::Response& response);
    std::string routeOf(const std::string& path) const;
    bool takeAnswer(const std::string& route, IngestAnswer& answer);
    void waitFor(int ms);

    const std::string snapshotEndpoint_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<IngestRequest> requests_;
    std::map<std::string, IngestAnswer> answers_;
};

}  // namespace testservers
