#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "OrbitTestSupport.h"
#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/OrbitApi.h"
#include "orbit/Utils/Gzip.h"
#include "servers/IngestServer.h"

using nlohmann::json;
using orbit::OrbitApi;
using orbit::OrbitConfig;
using orbit::OrbitEvent;
using orbit::OrbitUploadInfo;
using orbittest::answer;
using testservers::IngestAnswer;
using testservers::IngestServer;

namespace {

// Indexes into orbit::OrbitError.
constexpr size_t kTransport = 0, kInternal = 2, kParse = 3, kNone = size_t(-1);

std::shared_ptr<OrbitEvent> event(const std::string& name, json properties = json::object()) {
    return std::make_shared<OrbitEvent>(orbittest::event(name, std::move(properties)));
}

std::shared_ptr<OrbitConfig> configFor(const std::string& host) {
    return std::make_shared<OrbitConfig>("phc_token", host);
}

size_t errorIndex(const std::optional<orbit::OrbitError>& error) { return error ? error->index() : kNone; }

struct JSONResult {
    std::optional<json> object;
    std::optional<orbit::OrbitError> error;
};

OrbitUploadInfo upload(const std::function<void(OrbitApi::UploadCompletion)>& call) {
    std::promise<OrbitUploadInfo> done;
    call([&done](OrbitUploadInfo info) { done.set_value(std::move(info)); });
    return done.get_future().get();
}
JSONResult request(const std::function<void(OrbitApi::JSONCompletion)>& call) {
    std::promise<JSONResult> done;
    call([&done](auto object, auto error) { done.set_value({std::move(object), std::move(error)}); });
    return done.get_future().get();
}

class OrbitApiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    testservers::IngestRequest onlyRequest() {
        auto all = server.requests();
        server.reset();
        EXPECT_EQ(all.size(), 1u);
        if (all.empty()) return {};
        EXPECT_TRUE(all.front().problems.empty()) << json(all.front().problems);
        return all.front();
    }

    orbittest::HedgeLogCapture log;
    IngestServer server;
};

}  // namespace

// Every route as the service expects it: method, path under the host's own path, headers, query,
// gzip and body keys (the server checks them all and records what is wrong).
TEST_F(OrbitApiTest, EveryRouteCarriesItsContract) {
    auto config = configFor(server.baseURL() + "/proxy/?dropped=1");
    config->evaluationContexts = std::vector<std::string>{"web"};
    config->urlSessionConfiguration = orbit::OrbitSessionConfiguration{{{"X-Extra", "1"}, {"user-agent", "theirs"}}};
    OrbitApi client(config);

    const auto events = std::vector{event("$screen", {{"name", "Main"}}), event("opened")};
    EXPECT_EQ(upload([&](auto done) { client.batch(events, done); }).statusCode, 200);
    auto sent = onlyRequest();
    EXPECT_EQ(sent.path, "/proxy/batch");
    EXPECT_EQ(sent.header("User-Agent"), "orbit-ios/1.4.0");
    EXPECT_EQ(sent.header("X-Extra"), "1");
    EXPECT_EQ(sent.json["api_key"], "phc_token");
    EXPECT_EQ(sent.json["batch"], json::array({events[0]->toJSON(), events[1]->toJSON()}));

    EXPECT_EQ(upload([&](auto done) { client.snapshot(events, done); }).statusCode, 200);
    sent = onlyRequest();
    EXPECT_EQ(sent.path, "/proxy/s/");
    EXPECT_EQ(sent.json, json::array({events[0]->toJSON(), events[1]->toJSON()}));

    const auto payload = orbit::OrbitLogsOTLP::buildPayload(
        {orbit::OrbitLogRecord::fromStorageJSON({{"body", "line"}})}, json::object(), "1.4.0");
    EXPECT_EQ(upload([&](auto done) { client.logs(payload, done); }).statusCode, 200);
    sent = onlyRequest();
    EXPECT_EQ(sent.path, "/proxy/i/v1/logs");
    EXPECT_EQ(sent.query, (std::map<std::string, std::string>{{"token", "phc_token"}}));
    EXPECT_EQ(sent.json, json::parse(payload));

    // Empty optionals leave their keys out, an empty anonymous id is sent, groups always are.
    const auto flagsBody = [&] {
        auto sent = onlyRequest();
        EXPECT_EQ(sent.path, "/proxy/flags");
        sent.json.erase("timezone");  // the server checks it is text
        return sent.json;
    };
    const auto with = [](json keys) {
        keys.update({{"api_key", "phc_token"}, {"distinct_id", "user-1"}, {"evaluation_contexts", {"web"}}});
        return keys;
    };
    auto flags = request([&](auto done) { client.flags("user-1", "", std::nullopt, {}, json::object(), {{}}, done); });
    EXPECT_EQ(flags.object, json({{"flags", json::object()}, {"errorsWhileComputingFlags", false}}));
    EXPECT_EQ(flagsBody(), with({{"$anon_distinct_id", ""}, {"groups", json::object()}}));
    request([&](auto done) {
        client.flags("user-1", std::nullopt, "device", {{"company", "acme"}}, {{"plan", "pro"}},
                     std::map<std::string, json>{{"company", {{"size", 5}}}}, done);
    });
    EXPECT_EQ(flagsBody(), with({{"$device_id", "device"},
                                 {"groups", {{"company", "acme"}}},
                                 {"person_properties", {{"plan", "pro"}}},
                                 {"group_properties", {{"company", {{"size", 5}}}}}}));

    EXPECT_EQ(request([&](auto done) { client.remoteConfig(done); }).object, json::object());
    EXPECT_EQ(onlyRequest().path, "/proxy/array/phc_token/config");

    // The service's own ingestion hosts fetch the configuration from their assets hosts.
    EXPECT_EQ(OrbitApi(configFor(OrbitApi::euIngestionHost)).getRemoteConfigRequest()->url,
              std::string(OrbitApi::euAssetsHost) + "/array/phc_token/config");
    EXPECT_EQ(OrbitApi(configFor(std::string(OrbitApi::usIngestionHost) + "/")).getRemoteConfigRequest()->url,
              std::string(OrbitApi::usIngestionHost) + "/array/phc_token/config");
}

// Each case: what the service answers on one route, and what the caller gets. An upload's status
// reaches the queue unchanged; a dropped, silent or refused exchange is an error, never a status,
// so the queue never counts as sent what the service may not have received; a JSON answer becomes
// an object only when it is a whole JSON object with a good status.
TEST_F(OrbitApiTest, FailuresReachTheCallerAsTheyAre) {
    const auto whole = orbit::gzipped(R"({"flags":{"a":true},"padding":")" + std::string(4000, 'p') + "\"}");
    auto truncated = answer(200, whole.substr(0, whole.size() / 2));
    truncated.headers["Content-Encoding"] = "gzip";
    IngestAnswer dropped;
    dropped.dropConnection = true;
    struct Case {
        std::string route;
        IngestAnswer given;
        std::optional<int64_t> status;
        size_t error;
    };
    const std::vector<Case> cases{{"batch", answer(299), 299, kNone},
                                  {"batch", answer(300, "{\"error\":\"moved\"}"), 300, kNone},
                                  {"batch", answer(304), 304, kNone},
                                  {"batch", answer(413, "{\"error\":\"too big\"}"), 413, kNone},
                                  {"batch", answer(503, "down"), 503, kNone},
                                  {"batch", answer(200, "{}", 5000), std::nullopt, kTransport},
                                  {"batch", dropped, std::nullopt, kTransport},
                                  {"flags", answer(500, "{\"detail\":\"boom\"}"), std::nullopt, kInternal},
                                  {"flags", answer(200, "[1,2]"), std::nullopt, kNone},
                                  {"flags", answer(200, "{\"flags\":"), std::nullopt, kParse},
                                  {"flags", truncated, std::nullopt, kParse},
                                  {"flags", dropped, std::nullopt, kTransport},
                                  {"config", answer(503, "unavailable"), std::nullopt, kInternal},
                                  {"config", answer(200, "\"text\""), std::nullopt, kNone}};
    OrbitApi client(configFor(server.baseURL()), orbit::systemNow, std::chrono::milliseconds(500));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.route + " " + std::to_string(c.given.status) + " " + c.given.body.substr(0, 20));
        server.answer(c.route, c.given);
        std::optional<orbit::OrbitError> error;
        if (c.route == "batch") {
            const auto info = upload([&](auto done) { client.batch({event("e")}, done); });
            EXPECT_EQ(info.statusCode, c.status);
            error = info.error;
        } else {
            auto result = request([&](auto done) {
                c.route == "flags" ? client.flags("d", {}, {}, {}, {}, {}, done) : client.remoteConfig(done);
            });
            EXPECT_FALSE(result.object);
            error = result.error;
        }
        EXPECT_EQ(errorIndex(error), c.error);
    }

    IngestServer closed;
    ASSERT_TRUE(closed.start());
    OrbitApi refused(configFor(closed.baseURL()));
    closed.stop();
    EXPECT_EQ(errorIndex(upload([&](auto done) { refused.logs(json::object().dump(), done); }).error), kTransport);

    // What cannot be written completes before the call returns, and nothing is sent. A host that
    // is not a URL never reaches the transport: the configuration takes the default host instead.
    server.reset();
    EXPECT_EQ(configFor("not a url")->host, orbit::OrbitConfig::defaultHost);
    std::optional<OrbitUploadInfo> immediate;
    OrbitApi(configFor(server.baseURL())).batch({event("e", {{"ratio", std::nan("")}})}, [&](OrbitUploadInfo info) {
        immediate = info;
    });
    ASSERT_TRUE(immediate);
    EXPECT_FALSE(immediate->statusCode || immediate->error);
    EXPECT_TRUE(server.requests().empty());
}

// The time-out is for standing still, not for the whole exchange: an answer that trickles in
// over about three time-outs arrives, one that stops after its first byte fails.
TEST_F(OrbitApiTest, AnExchangeMayOutlastTheTimeOutWhileItsBytesKeepMoving) {
    OrbitApi client(configFor(server.baseURL()), orbit::systemNow, std::chrono::milliseconds(1000));
    for (const int trickleMs : {200, 30'000}) {
        auto slow = answer(200, R"({"status":"Ok"})");
        slow.trickleMs = trickleMs;
        server.answer("batch", slow);
        const auto info = upload([&](auto done) { client.batch({event("e")}, done); });
        EXPECT_EQ(info.statusCode, trickleMs == 200 ? std::optional<int64_t>(200) : std::nullopt) << trickleMs;
        EXPECT_EQ(errorIndex(info.error), trickleMs == 200 ? kNone : kTransport) << trickleMs;
    }
}

// Redirects are followed, to another host too, keeping method and body where the status keeps
// them; ten in a row are followed, the eleventh is a failure.
TEST_F(OrbitApiTest, RedirectsAreFollowedUpToTenInARow) {
    IngestServer moved;
    ASSERT_TRUE(moved.start());
    const auto redirect = [](int status, const std::string& to, int count = 1) {
        auto given = answer(status);
        given.headers["Location"] = to;
        given.count = count;
        return given;
    };
    OrbitApi client(configFor(server.baseURL()));
    const auto events = std::vector{event("opened")};
    server.answer("batch", redirect(308, moved.baseURL() + "/batch"));
    EXPECT_EQ(upload([&](auto done) { client.batch(events, done); }).statusCode, 200);
    server.answer("config", redirect(302, moved.baseURL() + "/array/phc_token/config"));
    EXPECT_EQ(request([&](auto done) { client.remoteConfig(done); }).object, json::object());
    const auto arrived = moved.requests();
    ASSERT_EQ(arrived.size(), 2u);
    for (const auto& request : arrived) EXPECT_TRUE(request.problems.empty()) << json(request.problems);
    EXPECT_EQ(arrived[0].json["batch"], json::array({events[0]->toJSON()}));

    for (const int hops : {10, 11}) {
        server.answer("batch", redirect(307, server.baseURL() + "/batch", hops));
        const auto info = upload([&](auto done) { client.batch(events, done); });
        EXPECT_EQ(errorIndex(info.error), hops == 10 ? kNone : kTransport) << hops;
    }
}

// Requests in flight when the client goes end in their completions, and a completion may release
// the last hold on the client from the client's own thread.
TEST(OrbitApiLifetime, CompletionsOutliveTheClient) {
    IngestServer server;
    ASSERT_TRUE(server.start());
    server.answer("batch", answer(200, "{}", 100, 1000));
    std::atomic<int> completed{0};
    {
        OrbitApi client(configFor(server.baseURL()));
        std::vector<std::jthread> callers;
        for (int t = 0; t < 4; ++t)
            callers.emplace_back([&] {
                for (int i = 0; i < 2; ++i) client.batch({event("e")}, [&](OrbitUploadInfo) { ++completed; });
            });
    }
    EXPECT_EQ(completed, 8);

    std::promise<void> released;
    auto client = std::make_shared<OrbitApi>(configFor(server.baseURL()));
    OrbitApi* raw = client.get();
    raw->batch({}, [client = std::move(client), &released](OrbitUploadInfo) mutable {
        client.reset();
        released.set_value();
    });
    released.get_future().wait();
}
