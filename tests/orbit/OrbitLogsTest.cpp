#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <thread>

#include "OrbitTestSupport.h"
#include "orbit/Logs/OrbitLogger.h"
#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/OrbitApi.h"
#include "orbit/OrbitSDK.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/JSONUtils.h"
#include "posix/AtomicFile.h"
#include "support/ModelsTestSupport.h"

namespace fs = std::filesystem;
using nlohmann::json;
using orbit::OrbitLogRecord;
using orbit::OrbitLogSeverity;
using namespace orbittest;

namespace {

std::shared_ptr<OrbitLogRecord> record(std::string body, json attributes = json::object(),
                                       OrbitLogSeverity level = OrbitLogSeverity::info) {
    return std::make_shared<OrbitLogRecord>(std::move(body), level, std::move(attributes), std::nullopt, std::nullopt,
                                            std::nullopt, "1700000000000000000", "1700000000000000000", std::nullopt,
                                            std::nullopt, std::nullopt, std::nullopt, std::vector<std::string>{});
}

// The value of key in an OTLP key-value list; null when absent.
json valueOf(const json& list, const std::string& key) {
    for (const auto& pair : list)
        if (pair["key"] == key) return pair["value"];
    return nullptr;
}

// Runs otlp_check.py over the payloads as they were sent (or built): "ok\n" when they hold, else
// its findings, each line naming its payload ("payload-<index>.json: ..."). When the checker cannot
// run, the reason instead: the check then fails rather than passing unseen.
std::string checkOtlp(const std::vector<std::string>& payloads) {
    modelstest::TempDir folder;
    for (size_t i = 0; i < payloads.size(); ++i)
        std::ofstream(folder.path() / ("payload-" + std::to_string(i) + ".json"), std::ios::binary) << payloads[i];
    int code = -1;
    const auto out =
        testsupport::runCommand({"python3", SABLIX_SOURCE_DIR "/tests/orbit/otlp_check.py",
                                 orbit::OrbitLogsOTLP::scopeName, orbit::orbitVersion(), folder.path().string()},
                                &code, 120000);
    if (code != 0 && code != 1) return "otlp_check.py could not run (exit " + std::to_string(code) + "): " + out;
    return out;
}

size_t recordFiles(const fs::path& folder) {
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (const auto name = entry.path().filename().string(); !name.starts_with(".") && !posix::temporaryWriter(name))
            ++count;
    return count;
}

}  // namespace

// One payload holds every kind of attribute value: integers are decimal text (text beyond 64 signed bits), floating values
// numbers or the texts of NaN and the infinities, nested maps sorted, nulls left out; a user
// attribute replaces a built-in one; an over-deep value becomes text the JSON writer still takes.
TEST(OrbitLogsOTLPTest, PayloadEncodesEveryValueKindByTheProtocolsRules) {
    json deep = "bottom";
    for (int i = 0; i < 200; ++i) deep = json{{"d", deep}};
    auto warn = record("disk almost full",
                       {{"flag", true},
                        {"count", 3},
                        {"big", std::numeric_limits<uint64_t>::max()},
                        {"ratio", 2.5},
                        {"up", INFINITY},
                        {"down", -INFINITY},
                        {"nan", NAN},
                        {"list", json::array({1, nullptr, "x"})},
                        {"nested", {{"z", 1}, {"a", {{"y", "b"}, {"b", false}}}}},
                        {"gone", nullptr},
                        {"sessionId", 7},
                        {"deep", deep},
                        // Keys that are not UTF-8 meet once repaired: the later value stays.
                        {"k\xfe", 1},
                        {"k\xff", 2},
                        {"map", {{"a\xfe", "x"}, {"a\xff", "y"}}}},
                       OrbitLogSeverity::warn);
    warn->sessionId = "SESSION";
    warn->distinctId = "user-1";
    warn->featureFlagKeys = {"a", "c"};
    warn->traceId = "0123456789abcdef0123456789ABCDEF";
    warn->spanId = "xyz";  // as a record stored by an older client may hold
    warn->traceFlags = 1;
    auto bare = record("plain");

    orbit::OrbitLogsConfig config;
    config.serviceVersion = "";
    config.environment = "staging";
    config.resourceAttributes = {{"os.name", "mine"}, {"team", "core"}, {"r\xfe", 1}, {"r\xff", 2}};
    orbit::OrbitApplicationInfo application;
    application.identifier = "com.sablix.app";
    const auto resource = orbit::OrbitLogsOTLP::buildResourceAttributes(config, application);
    const auto raw = orbit::OrbitLogsOTLP::buildPayload({warn, bare}, resource, "1.4.0");
    const auto payload = json::parse(raw);

    const auto& resourceLogs = payload["resourceLogs"][0];
    const auto& attributes = resourceLogs["resource"]["attributes"];
    EXPECT_EQ(valueOf(attributes, "os.name"), json({{"stringValue", "Linux"}}));
    EXPECT_EQ(valueOf(attributes, "service.name"), json({{"stringValue", "com.sablix.app"}}));
    EXPECT_EQ(valueOf(attributes, "service.version"), nullptr);
    EXPECT_EQ(valueOf(attributes, "deployment.environment"), json({{"stringValue", "staging"}}));
    EXPECT_EQ(valueOf(attributes, "team"), json({{"stringValue", "core"}}));
    EXPECT_EQ(
        std::count_if(attributes.begin(), attributes.end(), [](const json& pair) { return pair["key"] == "r\uFFFD"; }),
        1);
    EXPECT_EQ(valueOf(attributes, "r\uFFFD"), json({{"intValue", "2"}}));
    EXPECT_EQ(resourceLogs["scopeLogs"][0]["scope"], json({{"name", "orbit-ios"}, {"version", "1.4.0"}}));

    const auto& log = resourceLogs["scopeLogs"][0]["logRecords"][0];
    EXPECT_EQ(log["severityNumber"], 13);
    EXPECT_EQ(log["severityText"], "warn");
    EXPECT_EQ(log["body"], json({{"stringValue", "disk almost full"}}));
    EXPECT_EQ(log["timeUnixNano"], "1700000000000000000");
    EXPECT_EQ(log["traceId"], "0123456789abcdef0123456789ABCDEF");
    EXPECT_FALSE(log.contains("spanId"));
    EXPECT_EQ(log["flags"], 1);
    const auto& user = log["attributes"];
    std::vector<std::string> keys;
    for (const auto& pair : user) keys.push_back(pair["key"]);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "sessionId"), 1);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "k\uFFFD"), 1);
    EXPECT_EQ(valueOf(user, "k\uFFFD"), json({{"intValue", "2"}}));
    EXPECT_EQ(valueOf(user, "map"),
              json::parse("{\"kvlistValue\":{\"values\":[{\"key\":\"a\uFFFD\",\"value\":{\"stringValue\":\"y\"}}]}}"));
    EXPECT_EQ(valueOf(user, "sessionId"), json({{"intValue", "7"}}));
    EXPECT_EQ(valueOf(user, "count"), json({{"intValue", "3"}}));
    EXPECT_EQ(valueOf(user, "big"), json({{"stringValue", "18446744073709551615"}}));
    EXPECT_EQ(valueOf(user, "flag"), json({{"boolValue", true}}));
    EXPECT_EQ(valueOf(user, "ratio"), json({{"doubleValue", 2.5}}));
    EXPECT_EQ(valueOf(user, "up"), json({{"stringValue", "Infinity"}}));
    EXPECT_EQ(valueOf(user, "down"), json({{"stringValue", "-Infinity"}}));
    EXPECT_EQ(valueOf(user, "nan"), json({{"stringValue", "NaN"}}));
    EXPECT_EQ(valueOf(user, "gone"), nullptr);
    EXPECT_EQ(valueOf(user, "list"),
              json::parse(R"({"arrayValue":{"values":[{"intValue":"1"},{"stringValue":"x"}]}})"));
    EXPECT_EQ(valueOf(user, "nested"), json::parse(R"({"kvlistValue":{"values":[
        {"key":"a","value":{"kvlistValue":{"values":[{"key":"b","value":{"boolValue":false}},
                                                     {"key":"y","value":{"stringValue":"b"}}]}}},
        {"key":"z","value":{"intValue":"1"}}]}})"));
    EXPECT_EQ(valueOf(user, "orbitDistinctId"), json({{"stringValue", "user-1"}}));
    EXPECT_EQ(valueOf(user, "feature_flags"),
              json::parse(R"({"arrayValue":{"values":[{"stringValue":"a"},{"stringValue":"c"}]}})"));
    EXPECT_FALSE(resourceLogs["scopeLogs"][0]["logRecords"][1].contains("attributes"));

    const auto text = orbit::writeJSON(payload);
    ASSERT_TRUE(text) << "the deep attribute made the payload unwritable";
    EXPECT_EQ(checkOtlp({raw}), "ok\n");
}

// The checker holds a payload to the shape the client gives it, not only to the encoding: each of
// these is refused, under its own name.
TEST(OrbitLogsOTLPTest, TheCheckerRefusesEveryPayloadOutOfShape) {
    const auto raw = orbit::OrbitLogsOTLP::buildPayload(
        {record("one", {{"a", 1}, {"b", 2}})},
        orbit::OrbitLogsOTLP::buildResourceAttributes(orbit::OrbitLogsConfig(), orbit::OrbitApplicationInfo()),
        orbit::orbitVersion());
    ASSERT_EQ(checkOtlp({raw}), "ok\n");
    const auto good = json::parse(raw);
    const auto changed = [&](const std::function<void(json & resource, json & scope, json & log)>& change) {
        auto payload = good;
        auto& resource = payload["resourceLogs"][0];
        auto& scope = resource["scopeLogs"][0];
        change(resource, scope, scope["logRecords"][0]);
        return payload.dump();
    };
    std::vector<std::string> bad{
        R"({"resourceLogs":[]})",
        changed([&](json& resource, json&, json&) { resource = good["resourceLogs"]; }),
        changed([](json& resource, json&, json&) { resource.erase("resource"); }),
        changed([](json& resource, json&, json&) { resource["resource"]["attributes"] = json::array(); }),
        changed([](json& resource, json&, json&) { resource["resource"]["attributes"][0].erase("value"); }),
        changed([](json& resource, json& scope, json&) { resource["scopeLogs"].push_back(scope); }),
        changed([](json&, json& scope, json&) { scope["scope"]["name"] = "another-client"; }),
        changed([](json&, json& scope, json&) { scope["scope"]["version"] = "0.0.1"; }),
        changed([](json&, json& scope, json&) { scope["logRecords"] = json::array(); }),
        changed([](json&, json&, json& log) { log["severityText"] = "error"; }),
        changed([](json&, json&, json& log) { log["attributes"][1]["key"] = "a"; }),
        // A repeated key in the text, which a JSON reader would quietly take the last of.
        std::string(raw).replace(raw.find("\"severityNumber\":9"), 18, "\"severityNumber\":9,\"severityNumber\":9"),
    };
    for (const char* field : {"body", "timeUnixNano", "observedTimeUnixNano", "severityNumber", "severityText"})
        bad.push_back(changed([&](json&, json&, json& log) { log.erase(field); }));
    const auto findings = checkOtlp(bad);
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_NE(findings.find("payload-" + std::to_string(i) + ".json: "), std::string::npos) << bad[i];
}

// The stored form of a record, both ways, with the fallbacks for what a stored file may lack.
TEST(OrbitLogRecordTest, StorageJSONRoundTripsAndFallsBack) {
    EXPECT_EQ(orbit::orbitLogSeverityFrom("  ERROR \n"), OrbitLogSeverity::error);
    EXPECT_EQ(orbit::orbitLogSeverityFrom("warning"), std::nullopt);
    EXPECT_EQ(orbit::orbitLogSeverity(6), std::nullopt);
    EXPECT_EQ(orbit::orbitLogSeverity(-1), std::nullopt);

    auto full = record("line \xff", {{"k", 1}, {"bad", NAN}}, OrbitLogSeverity::fatal);
    full->traceFlags = 1;
    full->screenName = "Main";
    const auto stored = full->toStorageJSON();
    EXPECT_EQ(stored["attributes"], json({{"k", 1}}));
    EXPECT_TRUE(orbit::writeJSON(stored)) << "a body that is not UTF-8 must not make the record unwritable";
    const auto back = OrbitLogRecord::fromStorageJSON(stored);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->body, "line \xEF\xBF\xBD");
    EXPECT_EQ(back->level, OrbitLogSeverity::fatal);
    EXPECT_EQ(back->traceFlags, 1);
    EXPECT_EQ(back->screenName, "Main");
    EXPECT_EQ(back->toStorageJSON(), stored);
    EXPECT_FALSE(record("x")->toStorageJSON().contains("attributes"));

    EXPECT_FALSE(OrbitLogRecord::fromStorageJSON({{"body", 42}}));
    const auto sparse = OrbitLogRecord::fromStorageJSON(
        {{"body", "b"}, {"level", "critical"}, {"attributes", "x"}, {"featureFlagKeys", {"a", 1}}});
    ASSERT_TRUE(sparse);
    EXPECT_EQ(sparse->level, OrbitLogSeverity::info);
    EXPECT_EQ(sparse->attributes, json::object());
    EXPECT_TRUE(sparse->featureFlagKeys.empty());
    EXPECT_FALSE(sparse->timeUnixNano().empty());
    EXPECT_EQ(sparse->observedTimeUnixNano(), sparse->timeUnixNano());
    EXPECT_EQ(OrbitLogRecord::fromStorageJSON({{"body", "b"}, {"timeUnixNano", "5"}})->observedTimeUnixNano(), "5");
}

class OrbitLogCaptureTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    std::shared_ptr<orbit::OrbitSDK> makeClient(const std::function<void(orbit::OrbitConfig&)>& configure) {
        config = std::make_shared<orbit::OrbitConfig>("phc_logs", server.baseURL());
        config->debug = true;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        config->disableFlushOnBackgroundForTesting = true;
        configure(*config);
        orbit::OrbitHost host = orbit::OrbitHost::standard();
        host.dataHome = data.path();
        host.now = [m = micros] { return orbit::OrbitDate(std::chrono::microseconds(m->load())); };
        auto sdk = orbit::OrbitSDK::make(config, host);
        sdk->setup(config);
        return sdk;
    }
    fs::path logsFolder() const { return data.path() / "com.orbit.unknown" / "phc_logs" / "orbit.logsFolder"; }
    std::vector<testservers::IngestRequest> logRequests() const {
        auto all = server.requests();
        std::erase_if(all, [](const auto& request) { return request.route != "logs"; });
        return all;
    }

    testservers::IngestServer server;
    modelstest::TempDir data;
    std::shared_ptr<orbit::OrbitConfig> config;
    std::shared_ptr<std::atomic<int64_t>> micros = std::make_shared<std::atomic<int64_t>>(1'700'000'000'000'000);
    HedgeLogCapture log;
};

// A record with a malformed trace id goes without it, so the collector takes the whole batch of 50;
// a hook that blanks a body drops that record, one that replaces a record sends the replacement,
// and one that sets a bad span id loses only the id. Every record carries the capture's context.
TEST_F(OrbitLogCaptureTest, OneBadTraceIdCostsOnlyThatIdAndTheBatchIsAccepted) {
    const std::string goodTrace = "4bf92f3577b34da6a3ce929d0e0e4736";
    auto sdk = makeClient([](orbit::OrbitConfig& c) {
        c.logs.flushAt = 50;
        c.logs.setBeforeSend(
            [](std::shared_ptr<OrbitLogRecord> r) {
                if (r->body == "secret") r->body = "   \n";
                return r;
            },
            [](std::shared_ptr<OrbitLogRecord> r) {
                if (r->body == "replace me") {
                    auto other = std::make_shared<OrbitLogRecord>(*r);
                    other->body = "replaced";
                    other->spanId = "not a span";
                    return other;
                }
                return r;
            });
    });
    sdk->captureLog("secret", OrbitLogSeverity::error);
    sdk->captureLog("bad trace", OrbitLogSeverity::warn, json{{"n", 1}}, "xyz", "00f067aa0ba902b7", 1);
    sdk->captureLog("replace me");
    sdk->captureLog(" \t\n");
    for (int i = 0; i < 47; ++i) sdk->logger()->info("line " + std::to_string(i), json{{"i", i}});
    sdk->captureLog("good trace", OrbitLogSeverity::debug, std::nullopt, goodTrace, std::nullopt, std::nullopt);

    ASSERT_TRUE(eventually([&] { return !logRequests().empty(); }));
    ASSERT_TRUE(eventually([&] { return recordFiles(logsFolder()) == 0; }));
    const auto requests = logRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].problems.empty()) << requests[0].toJson().dump();
    const auto& records = requests[0].json["resourceLogs"][0]["scopeLogs"][0]["logRecords"];
    ASSERT_EQ(records.size(), 50u);
    EXPECT_EQ(records[0]["body"]["stringValue"], "bad trace");
    EXPECT_FALSE(records[0].contains("traceId"));
    EXPECT_EQ(records[0]["spanId"], "00f067aa0ba902b7");
    EXPECT_EQ(records[0]["timeUnixNano"], "1700000000000000000");
    EXPECT_EQ(records[0]["observedTimeUnixNano"], "1700000000000000000");
    EXPECT_EQ(records[1]["body"]["stringValue"], "replaced");
    EXPECT_FALSE(records[1].contains("spanId"));
    EXPECT_EQ(records[49]["traceId"], goodTrace);
    EXPECT_EQ(valueOf(records[2]["attributes"], "app.state"), json({{"stringValue", "foreground"}}));
    EXPECT_EQ(valueOf(records[2]["attributes"], "orbitDistinctId"), json({{"stringValue", sdk->getDistinctId()}}));
    EXPECT_EQ(valueOf(records[2]["attributes"], "sessionId"), json({{"stringValue", *sdk->getSessionId()}}));
    EXPECT_TRUE(log.has("[Orbit] captureLog: empty body, dropping"));
    EXPECT_TRUE(log.has("[Orbit] captureLog: traceId is not 32 hexadecimal digits, dropping it"));
    EXPECT_TRUE(log.has("[Orbit] captureLog: spanId is not 16 hexadecimal digits, dropping it"));
    EXPECT_EQ(checkOtlp({requests[0].body}), "ok\n");

    // What the batch would have met with the id: a collector's 400, which is not retried.
    auto forged = json::parse(requests[0].body);
    forged["resourceLogs"][0]["scopeLogs"][0]["logRecords"][0]["traceId"] = "xyz";
    orbit::OrbitApi api(config);
    std::promise<std::optional<int64_t>> status;
    api.logs(forged.dump(), [&](orbit::OrbitUploadInfo info) { status.set_value(info.statusCode); });
    EXPECT_EQ(status.get_future().get(), 400);
}

// A stored record whose time is not decimal text (edited on disk, or left by another writer) is
// dropped when it is read, with a log line; the rest of its batch is sent and accepted.
TEST_F(OrbitLogCaptureTest, AStoredRecordWithAnUnreadableTimeCostsOnlyItself) {
    auto sdk = makeClient([](orbit::OrbitConfig& c) { c.logs.flushAt = 50; });
    for (const char* body : {"first", "second", "third"}) sdk->captureLog(body);
    ASSERT_EQ(recordFiles(logsFolder()), 3u);
    for (const auto& entry : fs::directory_iterator(logsFolder())) {
        std::ifstream in(entry.path());
        auto stored = json::parse(in, nullptr, false);
        if (stored.is_discarded()) continue;
        if (stored["body"] == "first") stored["timeUnixNano"] = "1.7e18";
        if (stored["body"] == "third") stored["observedTimeUnixNano"] = "-1700000000000000000";
        std::ofstream(entry.path(), std::ios::trunc) << stored.dump();
    }
    sdk->flush();

    ASSERT_TRUE(eventually([&] { return !logRequests().empty() && recordFiles(logsFolder()) == 0; }));
    const auto requests = logRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].problems.empty()) << requests[0].toJson().dump();
    const auto& records = requests[0].json["resourceLogs"][0]["scopeLogs"][0]["logRecords"];
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["body"]["stringValue"], "second");
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[Orbit] Dropping a stored log record whose time is not decimal nanoseconds"),
              2);
}

// 600 records within one window of the client's clock keep 500 on disk with one warning; loggers
// on many threads, a hook that resets the hooks, an empty hook and a logger that outlives its
// client are harmless.
TEST_F(OrbitLogCaptureTest, RateCapKeepsFiveHundredPerWindowAcrossThreads) {
    auto sdk = makeClient([](orbit::OrbitConfig& c) { c.logs.flushAt = 10000; });
    // An empty hook among them is skipped rather than called.
    config->logs.setBeforeSend(orbit::OrbitLogsConfig::Hook{}, [this](std::shared_ptr<OrbitLogRecord> r) {
        config->logs.setBeforeSend(std::vector<orbit::OrbitLogsConfig::Hook>{});
        return r;
    });
    const auto logger = sdk->logger();
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) logger->warn("t" + std::to_string(t) + " " + std::to_string(i));
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(recordFiles(logsFolder()), 500u);
    const auto lines = log.lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.starts_with("[Orbit] Queue rate cap exceeded"); }),
        1);

    *micros += 11'000'000;
    logger->error("next window");
    EXPECT_EQ(recordFiles(logsFolder()), 501u);
    sdk.reset();
    logger->fatal("after the client is gone");
}
