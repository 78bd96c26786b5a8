#include <gtest/gtest.h>

#include <future>

#include "OrbitTestSupport.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "servers/IngestServer.h"
#include "support/ModelsTestSupport.h"

using nlohmann::json;
using orbit::OrbitRemoteConfig;
using testservers::IngestAnswer;
using testservers::IngestServer;

namespace {

class FakeStorageManager : public orbit::OrbitStorageManager {
public:
    explicit FakeStorageManager(std::shared_ptr<orbit::OrbitStorage> storage)
        : OrbitStorageManager(std::move(storage), nullptr) {}
    std::string getDistinctId() override {
        std::lock_guard lock(mutex);
        return distinctId;
    }
    std::string getAnonymousId() override { return "anon-1"; }
    std::string getDeviceId() override { return ""; }
    void setDistinctId(std::string id) {
        std::lock_guard lock(mutex);
        distinctId = std::move(id);
    }

private:
    std::mutex mutex;
    std::string distinctId = "user-1";
};

IngestAnswer answer(const json& body, int delayMs = 0, int count = 1) {
    return orbittest::answer(200, body.dump(), delayMs, count);
}

// One client's collaborators: the service stand-in, a storage folder that outlives restarts, and a
// main queue of its own whose announcements the test can wait for.
class OrbitRemoteConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    // Each instance announces its flags to a counter of its own: a late announcement of an earlier
    // one (its blocks may still be finishing) does not count for the next.
    std::shared_ptr<OrbitRemoteConfig> start(bool preloadFeatureFlags = true) {
        auto config = std::make_shared<orbit::OrbitConfig>("phc_token", server.baseURL());
        config->storageManager = storageManager;
        config->preloadFeatureFlags = preloadFeatureFlags;
        auto api = std::make_shared<orbit::OrbitApi>(config, orbit::systemNow, std::chrono::milliseconds(5000));
        announced = std::make_shared<std::atomic<int>>(0);
        return OrbitRemoteConfig::create(
            config, storage, api,
            [] {
                return json{{"$os", "Linux"}, {"plan", "free"}};
            },
            nullptr, [this](std::function<void()> block) { mainQueue.async(std::move(block)); },
            [count = announced](const std::string& name) { *count += name == orbit::didReceiveFeatureFlags; });
    }
    bool flagsAnnounced() {
        return orbittest::eventually([&] { return *announced > 0; }, std::chrono::seconds(20));
    }
    std::optional<json> reload(OrbitRemoteConfig& remote) {
        std::promise<std::optional<json>> done;
        remote.reloadFeatureFlags([&](const std::optional<json>& flags) { done.set_value(flags); });
        return done.get_future().get();
    }
    std::vector<std::string> routes() const {
        std::vector<std::string> all;
        for (const auto& request : server.requests()) all.push_back(request.route);
        return all;
    }
    std::optional<json> stored(const char* name) const {
        return orbit::readJSON(modelstest::readFile(folder.path() / name));
    }

    orbittest::HedgeLogCapture log;
    IngestServer server;
    modelstest::TempDir folder;
    std::shared_ptr<orbit::OrbitStorage> storage = std::make_shared<orbit::OrbitStorage>(folder.path());
    std::shared_ptr<FakeStorageManager> storageManager = std::make_shared<FakeStorageManager>(storage);
    std::shared_ptr<std::atomic<int>> announced;
    orbit::OrbitDispatchQueue mainQueue{"test.main"};  // last: its blocks reach the members above
};

const json kFlagsAnswer = {{"flags",
                            {{"beta", {{"enabled", true}, {"metadata", {{"payload", R"({"limit": 3})"}}}}},
                             {"layout", {{"enabled", true}, {"variant", "compact"}}},
                             {"old", {{"enabled", false}}}}},
                           {"errorsWhileComputingFlags", false},
                           {"requestId", "req-1"},
                           {"evaluatedAt", 1700000000}};
const json kEnabled = {{"beta", true}, {"layout", "compact"}, {"old", false}};

}  // namespace

// A first start fetches the configuration, then the flags, and leaves every stored file readable;
// the next start with the service down answers flags, request id and the error switch from disk.
TEST_F(OrbitRemoteConfigTest, FlagsLoadAfterTheConfigurationAndSurviveARestartWithTheServerDown) {
    server.answer("config", answer({{"errorTracking", {{"autocaptureExceptions", true}}}}));
    server.answer("flags", answer(kFlagsAnswer));
    {
        auto remote = start();
        ASSERT_TRUE(flagsAnnounced());
        EXPECT_EQ(routes(), (std::vector<std::string>{"config", "flags"}));
        EXPECT_TRUE(remote->isAutocaptureExceptionsEnabled());
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        EXPECT_TRUE(orbit::readJSON(modelstest::readFile(entry.path()))) << entry.path();
    EXPECT_EQ(stored("orbit.enabledFeatureFlags"), kEnabled);

    server.stop();
    auto remote = start();
    EXPECT_TRUE(remote->isAutocaptureExceptionsEnabled());
    ASSERT_TRUE(flagsAnnounced());
    EXPECT_TRUE(log.has("[Orbit] Remote config response is missing, skipping loading flags"));
    const auto beta = remote->getFeatureFlagResult("beta");
    ASSERT_TRUE(beta && beta->enabled());
    EXPECT_EQ(beta->payload(), json({{"limit", 3}}));
    EXPECT_EQ(remote->getFeatureFlagDetails("layout"), kFlagsAnswer["flags"]["layout"]);
    EXPECT_EQ(remote->lastRequestId(), "req-1");
    EXPECT_EQ(remote->lastEvaluatedAt(), 1700000000);
}

// A project without flags empties the stored flags and forgets the request id, without asking for
// flags; an exhausted quota leaves every stored file exactly as it was.
TEST_F(OrbitRemoteConfigTest, NoFlagsClearsTheStoreAndAQuotaLimitLeavesItUntouched) {
    server.answer("config", answer(json::object()));
    server.answer("flags", answer(kFlagsAnswer));
    {
        auto remote = start();
        ASSERT_TRUE(flagsAnnounced());
    }
    const auto files = [&] {
        std::map<std::string, std::string> all;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
            all[entry.path().filename()] = modelstest::readFile(entry.path());
        return all;
    };
    const auto before = files();

    server.reset();
    server.answer("config", answer(json::object()));
    server.answer("flags", answer({{"quotaLimited", {"feature_flags"}}, {"flags", json::object()}}, 0, 2));
    {
        auto remote = start();
        ASSERT_TRUE(flagsAnnounced());
        EXPECT_EQ(reload(*remote), kEnabled);
        EXPECT_EQ(routes(), (std::vector<std::string>{"config", "flags", "flags"}));
    }
    EXPECT_EQ(files(), before);

    server.reset();
    server.answer("config", answer({{"hasFeatureFlags", false}}));
    auto remote = start();
    ASSERT_TRUE(flagsAnnounced());
    EXPECT_EQ(routes(), std::vector<std::string>{"config"});
    for (const char* name : {"orbit.flags", "orbit.enabledFeatureFlags", "orbit.enabledFeatureFlagPayloads"})
        EXPECT_EQ(stored(name), json::object()) << name;
    for (const char* name : {"orbit.requestId", "orbit.evaluatedAt"})
        EXPECT_FALSE(std::filesystem::exists(folder.path() / name)) << name;
    EXPECT_EQ(remote->lastRequestId(), std::nullopt);
    EXPECT_FALSE(remote->getFeatureFlagResult("beta"));
}

// Reloads asked for while a request is in flight coalesce into one more request, which carries the
// identity of the latest; the replaced one is answered from the cache at once.
TEST_F(OrbitRemoteConfigTest, ThreeReloadsDuringASlowAnswerMakeTwoRequests) {
    server.answer("config", answer(json::object()));
    auto remote = start(false);
    remote->setPersonPropertiesForFlags({{"plan", "pro"}});
    remote->setGroupPropertiesForFlags("company", {{"seats", 5}});
    remote->setGroupPropertiesForFlags("team", {{"size", 2}});
    remote->resetGroupPropertiesForFlags("team");
    server.answer("flags", answer(kFlagsAnswer, 1000, 2));

    std::vector<std::promise<std::optional<json>>> answered(3);
    for (int i = 0; i < 3; ++i) {
        storageManager->setDistinctId("user-" + std::to_string(i + 1));
        remote->reloadFeatureFlags([&, i](const std::optional<json>& flags) { answered[i].set_value(flags); });
    }
    auto replaced = answered[1].get_future();
    ASSERT_EQ(replaced.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
    EXPECT_EQ(replaced.get(), std::nullopt);  // nothing cached yet
    EXPECT_EQ(answered[2].get_future().get(), kEnabled);
    EXPECT_TRUE(answered[0].get_future().get());

    std::vector<json> sent;
    for (const auto& request : server.requests())
        if (request.route == "flags") sent.push_back(request.json);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["distinct_id"], "user-1");
    EXPECT_EQ(sent[1]["distinct_id"], "user-3");
    EXPECT_EQ(sent[1]["person_properties"], json({{"$os", "Linux"}, {"plan", "pro"}}));
    EXPECT_EQ(sent[1]["group_properties"], json({{"company", {{"seats", 5}}}}));
}

// Each case: a second answer over a cached one; the flag values and payloads the client then holds
// and stores, and its request id. A refused answer leaves the cache as it was.
TEST_F(OrbitRemoteConfigTest, AnswersAreNormalisedThenReplaceOrMergeOverTheCache) {
    const std::string cached = R"({"featureFlags":{"a":true,"b":"v1"},"featureFlagPayloads":{"a":"1","b":"2"},)"
                               R"("requestId":"req-1"})";
    const std::string kept = R"({"a":true,"b":"v1"})", keptPayloads = R"({"a":"1","b":"2"})";
    const std::vector<std::array<std::string, 5>> cases{
        {"newer shape",
         R"({"flags":{"variantOff":{"enabled":false,"variant":"x","metadata":{"payload":"7"}},)"
         R"("off":{"enabled":false,"metadata":{"payload":"8"}},"on":{"enabled":true,"metadata":{"payload":{"k":1}}},)"
         R"("neither":{"enabled":"yes"},"notAnObject":3},"featureFlags":{"stale":true},"requestId":"req-2"})",
         R"({"variantOff":"x","off":false,"on":true})", R"({"variantOff":"7","on":{"k":1}})", "req-2"},
        {"errors merge over the cache",
         R"({"featureFlags":{"b":"v2","c":false},"featureFlagPayloads":{"b":"3"},"errorsWhileComputingFlags":true})",
         R"({"a":true,"b":"v2","c":false})", R"({"a":"1","b":"3"})", "req-1"},
        {"no errors replace the cache", R"({"featureFlags":{"c":true},"featureFlagPayloads":{}})", R"({"c":true})",
         "{}", "req-1"},
        {"older shape without payloads is refused", R"({"featureFlags":{"c":true}})", kept, keptPayloads, "req-1"},
        {"wrong types are refused", R"({"flags":[],"featureFlags":"x","featureFlagPayloads":1,"requestId":5})", kept,
         keptPayloads, "req-1"},
        {"text that is not JSON is refused", "<html>busy</html>", kept, keptPayloads, "req-1"},
    };
    server.answer("config", answer({{"hasFeatureFlags", true}}));
    auto remote = start(false);
    for (const auto& [what, second, values, payloads, requestId] : cases) {
        SCOPED_TRACE(what);
        remote->clear();
        for (const auto& body : {cached, second}) {
            server.answer("flags", orbittest::answer(200, body));
            reload(*remote);
        }
        EXPECT_EQ(remote->getFeatureFlags(), json::parse(values));
        EXPECT_EQ(stored("orbit.enabledFeatureFlags"), json::parse(values));
        EXPECT_EQ(stored("orbit.enabledFeatureFlagPayloads"), json::parse(payloads));
        EXPECT_EQ(remote->lastRequestId(), requestId);
    }
}

// Each case: a cached value and payload, the result the client answers, and its decoded payload.
TEST(OrbitFeatureFlagResultTest, ResultsAndTypedPayloadsFromCachedValues) {
    struct Case {
        const char* what;
        std::optional<json> value;
        std::optional<json> payload;
        bool exists;
        bool enabled;
        std::optional<std::string> variant;
        std::optional<json> decoded;
    };
    const std::vector<Case> cases = {
        {"false is a result", json(false), std::nullopt, true, false, std::nullopt, std::nullopt},
        {"a payload without a value", std::nullopt, json("{}"), false, false, std::nullopt, std::nullopt},
        {"a variant", json(""), json(R"({"a": 1})"), true, true, "", json{{"a", 1}}},
        {"a number is off", json(1), json("12.5"), true, false, std::nullopt, json(12.5)},
        {"text that is not JSON", json(true), json("not json"), true, true, std::nullopt, json("not json")},
        {"a payload that is not text", json(true), json{{"a", 1}}, true, true, std::nullopt, json{{"a", 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = orbit::OrbitFeatureFlagResult::make("key", c.value, c.payload);
        ASSERT_EQ(result.has_value(), c.exists);
        if (!result) continue;
        EXPECT_EQ(result->enabled(), c.enabled);
        EXPECT_EQ(result->variant(), c.variant);
        EXPECT_EQ(result->payload(), c.decoded);
    }

    // Typed decoding never throws: a payload of another shape decodes to nothing.
    using Counts = std::map<std::string, int>;
    const auto result = [](json payload) { return orbit::OrbitFeatureFlagResult("k", true, std::nullopt, payload); };
    EXPECT_EQ(result({{"seats", 3}}).payloadAs<Counts>(), (Counts{{"seats", 3}}));
    for (const json& wrong : {json{{"seats", "3"}}, json(4)}) EXPECT_FALSE(result(wrong).payloadAs<Counts>()) << wrong;
}

// A number the target type cannot hold, alone or deep inside a container, reads as no payload.
TEST(OrbitFeatureFlagResultTest, NumbersTheTargetTypeCannotHoldReadAsAbsent) {
    const auto as = [](json payload) { return orbit::OrbitFeatureFlagResult("k", true, std::nullopt, payload); };
    using Ints = std::map<std::string, int>;
    EXPECT_EQ(as(127).payloadAs<int8_t>(), int8_t(127));
    EXPECT_EQ(as(UINT64_MAX).payloadAs<uint64_t>(), UINT64_MAX);
    EXPECT_EQ(as({{"n", 2.9}}).payloadAs<Ints>(), (Ints{{"n", 2}}));
    const bool decoded[] = {as(128).payloadAs<int8_t>().has_value(),
                            as(-1).payloadAs<unsigned>().has_value(),
                            as(UINT64_MAX).payloadAs<int64_t>().has_value(),
                            as(1e300).payloadAs<float>().has_value(),
                            as({{"n", 1e300}}).payloadAs<Ints>().has_value(),
                            as({1, 256}).payloadAs<std::vector<uint8_t>>().has_value(),
                            as({{1.0}, {1e39}}).payloadAs<std::vector<std::vector<float>>>().has_value()};
    for (size_t i = 0; i < std::size(decoded); ++i) EXPECT_FALSE(decoded[i]) << "case " << i;
}
