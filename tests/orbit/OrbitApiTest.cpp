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
using testservers::IngestAnswer;
using testservers::IngestServer;

namespace {

constexpr auto kWait = std::chrono::seconds(20);

struct JSONResult {
    std::optional<json> object;
    std::optional<orbit::OrbitError> error;
};

IngestAnswer answer(int status, std::string body) {
    IngestAnswer given;
    given.status = status;
    given.body = std::move(body);
    return given;
}

std::shared_ptr<OrbitEvent> event(const std::string& name, json properties = json::object()) {
    return std::make_shared<OrbitEvent>(name, "user-1", std::move(properties), orbit::systemNow(), orbit::Uuid::v7());
}

class OrbitApiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    std::shared_ptr<OrbitConfig> configFor(const std::string& host) {
        auto config = std::make_shared<OrbitConfig>("phc_token", host);
        return config;
    }
    OrbitApi& api(std::shared_ptr<OrbitConfig> config = nullptr,
                  std::chrono::milliseconds timeout = OrbitApi::defaultTimeout) {
        api_ = std::make_unique<OrbitApi>(config ? config : configFor(server.baseURL()), orbit::systemNow, timeout);
        return *api_;
    }

    OrbitUploadInfo upload(const std::function<void(OrbitApi::UploadCompletion)>& call) {
        std::promise<OrbitUploadInfo> done;
        auto result = done.get_future();
        call([&done](OrbitUploadInfo info) { done.set_value(std::move(info)); });
        EXPECT_EQ(result.wait_for(kWait), std::future_status::ready);
        return result.get();
    }
    JSONResult request(const std::function<void(OrbitApi::JSONCompletion)>& call) {
        std::promise<JSONResult> done;
        auto result = done.get_future();
        call([&done](std::optional<json> object, std::optional<orbit::OrbitError> error) {
            done.set_value({std::move(object), std::move(error)});
        });
        EXPECT_EQ(result.wait_for(kWait), std::future_status::ready);
        return result.get();
    }
    testservers::IngestRequest onlyRequest() {
        auto all = server.requests();
        EXPECT_EQ(all.size(), 1u);
        server.reset();
        return all.empty() ? testservers::IngestRequest{} : all.front();
    }

    orbittest::HedgeLogCapture log;
    IngestServer server;
    std::unique_ptr<OrbitApi> api_;
};

}  // namespace

// Every route as the service expects it: method, path under the host's own path, headers, query,
// gzip and body keys (the server checks them all and records what is wrong).
TEST_F(OrbitApiTest, EveryRouteCarriesItsContract) {
    auto config = configFor(server.baseURL() + "/proxy/?dropped=1");
    config->evaluationContexts = std::vector<std::string>{"web"};
    config->urlSessionConfiguration = orbit::OrbitSessionConfiguration{{{"X-Extra", "1"}, {"user-agent", "theirs"}}};
    auto& client = api(config);

    const auto events = std::vector{event("$screen", {{"name", "Main"}}), event("opened")};
    auto info = upload([&](auto done) { client.batch(events, done); });
    EXPECT_EQ(info.statusCode, 200);
    EXPECT_FALSE(info.error);
    auto batch = onlyRequest();
    EXPECT_EQ(batch.path, "/proxy/batch");
    EXPECT_TRUE(batch.problems.empty()) << json(batch.problems);
    EXPECT_EQ(batch.header("User-Agent"), "orbit-ios/1.4.0");
    EXPECT_EQ(batch.header("X-Extra"), "1");
    EXPECT_EQ(batch.json["api_key"], "phc_token");
    EXPECT_EQ(batch.json["batch"], json::array({events[0]->toJSON(), events[1]->toJSON()}));
    EXPECT_TRUE(log.has("[Orbit] batch sent successfully."));

    EXPECT_EQ(upload([&](auto done) { client.batch({}, done); }).statusCode, 200);
    EXPECT_EQ(onlyRequest().json["batch"], json::array());

    EXPECT_EQ(upload([&](auto done) { client.snapshot(events, done); }).statusCode, 200);
    auto snapshot = onlyRequest();
    EXPECT_EQ(snapshot.path, "/proxy/s/");
    EXPECT_TRUE(snapshot.problems.empty()) << json(snapshot.problems);
    EXPECT_EQ(events[0]->apiKey, "phc_token");
    EXPECT_EQ(snapshot.json, json::array({events[0]->toJSON(), events[1]->toJSON()}));

    const auto payload =
        orbit::OrbitLogsOTLP::buildPayload({std::make_shared<orbit::OrbitLogRecord>("line")}, json::object(), "1.4.0");
    EXPECT_EQ(upload([&](auto done) { client.logs(payload, done); }).statusCode, 200);
    auto logs = onlyRequest();
    EXPECT_EQ(logs.path, "/proxy/i/v1/logs");
    EXPECT_EQ(logs.query, (std::map<std::string, std::string>{{"token", "phc_token"}}));
    EXPECT_TRUE(logs.problems.empty()) << json(logs.problems);
    EXPECT_EQ(logs.json, payload);

    // Empty optionals leave their keys out, an empty anonymous id is sent, groups always are.
    auto flags = request([&](auto done) { client.flags("user-1", "", std::nullopt, {}, json::object(), {{}}, done); });
    EXPECT_EQ(flags.object, json({{"flags", json::object()}, {"errorsWhileComputingFlags", false}}));
    EXPECT_FALSE(flags.error);
    auto sent = onlyRequest();
    EXPECT_EQ(sent.path, "/proxy/flags");
    EXPECT_TRUE(sent.problems.empty()) << json(sent.problems);
    EXPECT_EQ(sent.json["$anon_distinct_id"], "");
    EXPECT_EQ(sent.json["groups"], json::object());
    EXPECT_EQ(sent.json["evaluation_contexts"], json({"web"}));
    EXPECT_FALSE(sent.json.contains("person_properties") || sent.json.contains("group_properties") ||
                 sent.json.contains("$device_id"));
    EXPECT_TRUE(sent.json["timezone"].is_string() && !sent.json["timezone"].get<std::string>().empty());

    request([&](auto done) {
        client.flags("user-1", std::nullopt, "device", {{"company", "acme"}}, {{"plan", "pro"}},
                     std::map<std::string, json>{{"company", {{"size", 5}}}}, done);
    });
    sent = onlyRequest();
    EXPECT_TRUE(sent.problems.empty()) << json(sent.problems);
    EXPECT_FALSE(sent.json.contains("$anon_distinct_id"));
    EXPECT_EQ(sent.json["$device_id"], "device");
    EXPECT_EQ(sent.json["groups"], json({{"company", "acme"}}));
    EXPECT_EQ(sent.json["person_properties"], json({{"plan", "pro"}}));
    EXPECT_EQ(sent.json["group_properties"], json({{"company", {{"size", 5}}}}));

    auto remote = request([&](auto done) { client.remoteConfig(done); });
    EXPECT_EQ(remote.object, json::object());
    auto config_ = onlyRequest();
    EXPECT_EQ(config_.path, "/proxy/array/phc_token/config");
    EXPECT_TRUE(config_.problems.empty()) << json(config_.problems);
    EXPECT_TRUE(log.has("[Orbit] Remote config called successfully."));

    // The service's own ingestion hosts fetch the configuration from their assets hosts.
    EXPECT_EQ(OrbitApi(configFor(OrbitApi::euIngestionHost)).getRemoteConfigRequest()->url,
              std::string(OrbitApi::euAssetsHost) + "/array/phc_token/config");
    EXPECT_EQ(OrbitApi(configFor(std::string(OrbitApi::usIngestionHost) + "/")).getRemoteConfigRequest()->url,
              std::string(OrbitApi::usIngestionHost) + "/array/phc_token/config");
}

// Any status reaches the caller unchanged, with no error; only 200 to 299 are logged as sent.
TEST_F(OrbitApiTest, UploadStatusesReachTheQueueUnchanged) {
    auto& client = api();
    for (const auto& [status, body] : std::vector<std::pair<int, std::string>>{
             {299, ""}, {300, "{\"error\":\"moved\"}"}, {304, ""}, {413, "{\"error\":\"too big\"}"}, {503, "down"}}) {
        server.answer("batch", answer(status, body));
        const auto info = upload([&](auto done) { client.batch({event("e")}, done); });
        EXPECT_EQ(info.statusCode, status);
        EXPECT_FALSE(info.error);
    }
    EXPECT_TRUE(log.has("[Orbit] batch sent successfully."));
    EXPECT_TRUE(log.has("[Orbit] Error sending to batch API: status: 413, body: {\"error\":\"too big\"}."));
    EXPECT_TRUE(log.has("[Orbit] Error sending to batch API: status: 503, body: ."));
    EXPECT_TRUE(log.has("[Orbit] Error sending to batch API: status: 304, body: ."));
}

TEST_F(OrbitApiTest, JSONAnswersTurnIntoObjectsOrTheirErrors) {
    auto& client = api();
    const auto flags = [&] { return request([&](auto done) { client.flags("d", {}, {}, {}, {}, {}, done); }); };

    server.answer("flags", answer(500, "{\"detail\":\"boom\"}"));
    auto failed = flags();
    EXPECT_FALSE(failed.object);
    ASSERT_TRUE(failed.error && std::holds_alternative<orbit::InternalOrbitError>(*failed.error));
    EXPECT_TRUE(orbit::describe(*failed.error)
                    .starts_with("Error calling flags API: status: 500, body: {\"detail\":\"boom\"}. ("))
        << orbit::describe(*failed.error);

    server.answer("flags", answer(200, "[1,2]"));
    auto array = flags();
    EXPECT_FALSE(array.object || array.error);

    server.answer("flags", answer(200, "{\"flags\":"));
    auto broken = flags();
    EXPECT_FALSE(broken.object);
    EXPECT_TRUE(broken.error && std::holds_alternative<orbit::JSONParseError>(*broken.error));
    EXPECT_TRUE(log.hasPrefix("[Orbit] Error parsing the flags response: "));

    // A gzip answer cut short is never read as an object.
    const auto whole = orbit::gzipped(R"({"flags":{"a":true},"padding":")" + std::string(4000, 'p') + "\"}");
    auto truncated = answer(200, whole.substr(0, whole.size() / 2));
    truncated.headers["Content-Encoding"] = "gzip";
    server.answer("flags", truncated);
    EXPECT_FALSE(flags().object);

    server.answer("config", answer(503, "unavailable"));
    auto remote = request([&](auto done) { client.remoteConfig(done); });
    EXPECT_FALSE(remote.object);
    ASSERT_TRUE(remote.error && std::holds_alternative<orbit::InternalOrbitError>(*remote.error));
    EXPECT_TRUE(
        orbit::describe(*remote.error).starts_with("Error calling the remote config API: status: 503, body: ."));

    server.answer("config", answer(200, "\"text\""));
    remote = request([&](auto done) { client.remoteConfig(done); });
    EXPECT_FALSE(remote.object || remote.error);
}

// A refused, dropped or silent exchange is an error, never a status: the queue must not count
// as sent what the service may not have received.
TEST_F(OrbitApiTest, BrokenExchangesAreErrorsNeverSuccesses) {
    const auto expectTransportError = [](const OrbitUploadInfo& info) {
        EXPECT_FALSE(info.statusCode);
        EXPECT_TRUE(info.error && std::holds_alternative<orbit::TransportError>(*info.error));
    };
    auto& client = api(nullptr, std::chrono::milliseconds(500));

    auto slow = answer(200, "{}");
    slow.delayMs = 5000;
    server.answer("batch", slow);
    expectTransportError(upload([&](auto done) { client.batch({event("slow")}, done); }));
    EXPECT_TRUE(log.hasPrefix("[Orbit] Error calling the batch API: Timeout"));

    IngestAnswer drop;
    drop.dropConnection = true;
    server.answer("snapshot", drop);
    expectTransportError(upload([&](auto done) { client.snapshot({event("$snapshot")}, done); }));

    IngestServer closed;
    ASSERT_TRUE(closed.start());
    auto& refused = api(configFor(closed.baseURL()));
    closed.stop();
    expectTransportError(upload([&](auto done) { refused.logs({{"resourceLogs", json::array()}}, done); }));
    auto flags = request([&](auto done) { refused.flags("d", {}, {}, {}, {}, {}, done); });
    EXPECT_TRUE(!flags.object && flags.error && std::holds_alternative<orbit::TransportError>(*flags.error));
    EXPECT_TRUE(log.hasPrefix("[Orbit] Error calling the flags API: "));

    // What cannot be formed or written fails before the call returns, and nothing is sent.
    server.reset();
    auto& unformed = api(configFor("not a url"));
    std::optional<OrbitUploadInfo> immediate;
    unformed.batch({event("e")}, [&](OrbitUploadInfo info) { immediate = info; });
    ASSERT_TRUE(immediate);
    EXPECT_FALSE(immediate->statusCode || immediate->error);
    EXPECT_TRUE(log.has("[Orbit] Malformed batch URL error."));
    bool remoteDone = false;
    unformed.remoteConfig([&](auto object, auto error) { remoteDone = !object && !error; });
    EXPECT_TRUE(remoteDone);
    EXPECT_TRUE(log.has("[Orbit] Error calling the remote config API: unable to create request"));

    auto& writer = api();
    immediate.reset();
    writer.batch({event("e", {{"ratio", std::nan("")}})}, [&](OrbitUploadInfo info) { immediate = info; });
    ASSERT_TRUE(immediate);
    EXPECT_FALSE(immediate->statusCode || immediate->error);
    EXPECT_TRUE(log.has("[Orbit] Error parsing the batch body"));
    EXPECT_TRUE(server.requests().empty());
}

// Requests in flight when the client goes still end in their completions, and a completion may
// release the last hold on the client from the client's own thread.
TEST(OrbitApiLifetime, CompletionsOutliveTheClient) {
    IngestServer server;
    ASSERT_TRUE(server.start());
    auto slow = answer(200, "{}");
    slow.delayMs = 100;
    slow.count = 1000;
    server.answer("batch", slow);
    std::atomic<int> completed{0};
    {
        OrbitApi client(std::make_shared<OrbitConfig>("t", server.baseURL()));
        std::vector<std::jthread> callers;
        for (int t = 0; t < 4; ++t)
            callers.emplace_back([&] {
                for (int i = 0; i < 2; ++i) client.batch({event("e")}, [&](OrbitUploadInfo) { ++completed; });
            });
    }
    EXPECT_EQ(completed, 8);

    std::promise<void> released;
    auto client = std::make_shared<OrbitApi>(std::make_shared<OrbitConfig>("t", server.baseURL()));
    OrbitApi* raw = client.get();
    raw->batch({}, [client = std::move(client), &released](OrbitUploadInfo) mutable {
        client.reset();
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(kWait), std::future_status::ready);
}
