#pragma once
#include "servers/BackendRoute.h"
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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

// One request as the backend received it. Header names are lower-cased.
struct LoggedRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;
    std::string body;

    std::string header(const std::string& name) const;
    nlohmann::json toJson() const;
};

// A stand-in for the application's backend on 127.0.0.1 and an ephemeral port. Its state comes
// from a JSON fixture; it answers the application's routes from that state, records every
// request, and can be told to fail or slow down a route, in process or over HTTP:
//   GET  /__test/log    the recorded requests, oldest first (control requests are not recorded)
//   POST /__test/reset  forget the log, failures and delays; the body, when it is a JSON object,
//                       becomes the new fixture, otherwise the original one is restored
//   POST /__test/fail   {"route", "status", "body", "count"}: the next count requests to route
//                       answer status and body
//   POST /__test/delay  {"route", "ms"}: requests to route wait ms before answering (0 clears)
//   POST /__test/redirect {"route", "location", "status", "count"}: the next count requests to
//                       route answer status (302 unless given) with that Location, which may name
//                       another server (a second backend on its own port is another origin)
// Routes are matched on the path alone, whatever the method; a route ending in "/" serves every
// path below it, the longest such route first. Application routes answer from the fixture:
//   /appcast.xml                 the fixture's "appcast" text, 404 without one; with
//                                "appcastPaddingBytes": n, padded as below, and sent as
//                                application/rss+xml, a type the server never compresses
// Any answer of status 200 whose path has an entry n in the fixture's "paddingBytes" object is
// followed by n line breaks, sent in pieces as they are made, with no length declared (compressed
// when its type is one the server compresses); paddedSend() tells how much of the newest such
// answer went out.
//   /api/pending-install/match   the fixture's "pendingInstallMatch" value, 404 without one
//   /api/templates/<slug>        "templates"[slug] as it stands (any JSON), 404 without one
//   /api/templates/packs/<cat>   "packs"[cat] likewise
// and the account routes from the fixture's "auth" object:
//   /api/auth/signin    with provider=google and a redirect_uri: 302 to the redirect_uri with
//                       "auth"."callback" (an object of query values) as its query; 400 otherwise
//   /api/auth/me        "auth"."accounts"[bearer token] (a user), 401 for any other token
//   /api/auth/refresh   "auth"."refreshTokens"[the body's "refresh_token"] (a token answer), 401
//                       for any other
//   /api/auth/signout   200 {"success": true}
// and the team, member and invitation routes from the fixture's "teams" object (TeamRoutes.h),
// and the feedback route:
//   /api/feedback       200 {"success": true}
class TestBackend {
public:
    // Answers one request. state is the backend's own, which the route may change; routes run one
    // at a time.
    using Route = BackendRoute;

    static constexpr const char* kAppcastRoute = "/appcast.xml";
    static constexpr const char* kAuthSignInRoute = "/api/auth/signin";
    static constexpr const char* kAuthMeRoute = "/api/auth/me";
    static constexpr const char* kAuthRefreshRoute = "/api/auth/refresh";
    static constexpr const char* kAuthSignOutRoute = "/api/auth/signout";
    static constexpr const char* kFeedbackRoute = "/api/feedback";
    static constexpr const char* kPendingInstallMatchRoute = "/api/pending-install/match";
    static constexpr const char* kTemplatesRoute = "/api/templates/";
    static constexpr const char* kTemplatePacksRoute = "/api/templates/packs/";
    static constexpr size_t kMaxLoggedRequests = 1000;
    static constexpr int kMaxFailCount = 1000;
    static constexpr int kMaxDelayMs = 60'000;

    explicit TestBackend(nlohmann::json fixture = nlohmann::json::object());
    ~TestBackend();
    TestBackend(const TestBackend&) = delete;
    TestBackend& operator=(const TestBackend&) = delete;

    // The fixture file's object, or an empty object when it cannot be read as one.
    static nlohmann::json loadFixture(const std::string& path);

    // Binds and starts serving; false when no port could be bound.
    bool start();
    void stop();
    int port() const { return port_; }
    std::string baseURL() const;

    std::vector<LoggedRequest> log() const;
    void reset(std::optional<nlohmann::json> fixture = std::nullopt);
    void fail(const std::string& route, int status, std::string body, int count = 1);
    void delay(const std::string& route, int ms);
    void redirect(const std::string& route, std::string location, int status = 302, int count = 1);

    // The newest padded answer: the bytes written before it ended, whether a write found the
    // connection closed, and whether it was sent whole.
    struct PaddedSendCount {
        int64_t written = 0;
        bool closedByClient = false;
        bool complete = false;
    };
    PaddedSendCount paddedSend() const;

private:
    struct Failure {
        int status = 500;
        std::string body;
        int remaining = 0;
        std::string location;  // a redirect when not empty
    };
    struct PaddedSend {
        std::atomic<int64_t> written{0};
        std::atomic<bool> closedByClient{false};
        std::atomic<bool> complete{false};
    };
    void installControls();
    void installRoutes();
    // Sends the route's answer followed by padding line breaks; mutex_ is held.
    void pad(httplib::Response& response, int64_t padding);
    const Route* findRoute(const std::string& path) const;
    void serve(const httplib::Request& request, httplib::Response& response);
    // Waits for the route's delay, or less when the server stops meanwhile.
    void waitForDelay(const std::string& route);
    bool takeFailure(const std::string& route, httplib::Response& response);

    const nlohmann::json originalFixture_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    nlohmann::json state_;
    std::vector<LoggedRequest> log_;
    std::map<std::string, Failure> failures_;
    std::shared_ptr<PaddedSend> paddedSend_;
    std::map<std::string, int> delays_;
    std::map<std::string, Route> routes_;
    std::map<std::string, Route> prefixRoutes_;
};

}  // namespace testservers
