#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "OrbitClientFixture.h"
#include "orbit/DI.h"
#include "orbit/OrbitStorage.h"

using nlohmann::json;
using orbit::OrbitConfig;
using orbit::OrbitSDK;
using orbittest::Client;
using orbittest::names;

namespace {

constexpr const char* lifeCycleInstalled = "[Orbit] Integration OrbitAppLifeCycleIntegration installed";

size_t count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

void versionTwoBuild42(orbit::OrbitHost& host) {
    host.applicationInfo.version = "2.0";
    host.applicationInfo.build = "42";
}

}  // namespace

// One client owns the life-cycle integration; a second instance's is skipped. Opting out removes
// it, stores the choice and drops captures; opting in brings it back. The life cycle then sends
// install, opened and backgrounded, and close() lets the same token be set up again in a new session.
TEST(OrbitOptOutTest, IntegrationsFollowOptOutOptInAndCloseAcrossTwoInstances) {
    orbittest::HedgeLogCapture log;
    Client client([](OrbitConfig& config) { config.captureApplicationLifecycleEvents = true; }, versionTwoBuild42);
    auto& sdk = *client.sdk;
    EXPECT_EQ(count(log.lines(), lifeCycleInstalled), 1u);

    auto secondConfig = std::make_shared<OrbitConfig>("phc_second", client.server.baseURL());
    secondConfig->disableRemoteConfigForTesting = true;
    secondConfig->debug = true;
    auto host = orbit::OrbitHost::standard();
    host.dataHome = client.data.path();
    const auto second = OrbitSDK::with(secondConfig, host);
    EXPECT_FALSE(second->isOptOut());
    EXPECT_TRUE(
        log.has("[Orbit] Integration OrbitAppLifeCycleIntegration skipped: Already installed to another "
                "OrbitSDK instance"));
    EXPECT_TRUE(
        log.has("[Orbit] Integration OrbitScreenViewIntegration skipped: Already installed to another "
                "OrbitSDK instance"));
    auto& screens = orbit::ApplicationScreenViewPublisher::shared();
    EXPECT_TRUE(screens.hasAutoCaptureHandler());
    std::vector<std::string> announced;
    const auto announcing = screens.onScreenView.subscribe([&](const std::string& name) { announced.push_back(name); });

    const orbit::OrbitStorage storage(*client.config, host);
    sdk.optOut();
    EXPECT_TRUE(sdk.isOptOut());
    EXPECT_FALSE(screens.hasAutoCaptureHandler());
    EXPECT_EQ(storage.getBool(orbit::OrbitStorage::StorageKey::optOut), true);
    EXPECT_TRUE(log.has("[Orbit] Integration OrbitAppLifeCycleIntegration uninstalled"));
    sdk.capture("dropped");
    orbit::ApplicationLifecyclePublisher::shared().appDidBecomeActive();
    sdk.optIn();
    EXPECT_EQ(storage.getBool(orbit::OrbitStorage::StorageKey::optOut), false);
    EXPECT_EQ(count(log.lines(), lifeCycleInstalled), 2u);
    sdk.capture("kept");
    sdk.screen("UIHostingController<ModifiedContent<HomeView, A>>");
    EXPECT_EQ(announced, std::vector<std::string>{"HomeView"});
    orbit::ApplicationLifecyclePublisher::shared().appDidBecomeActive();
    orbit::ApplicationLifecyclePublisher::shared().appDidBecomeActive();
    orbit::ApplicationLifecyclePublisher::shared().appDidEnterBackground();

    auto events = client.sent(5);
    ASSERT_EQ(names(events), (std::vector<std::string>{"Application Installed", "kept", "$screen", "Application Opened",
                                                       "Application Backgrounded"}));
    EXPECT_EQ(events[0]["properties"]["version"], "2.0");
    EXPECT_EQ(events[0]["properties"]["build"], 42);
    EXPECT_EQ(events[3]["properties"]["from_background"], false);
    EXPECT_EQ(events[3]["properties"]["build"], 42);
    EXPECT_EQ(host.defaults->string("OBGBuildKeyV2"), std::nullopt);  // another host's store
    EXPECT_EQ(client.sdk->host().defaults->string("OBGBuildKeyV2"), "42");

    second->close();  // its skipped integrations were never its own: the first keeps them
    EXPECT_TRUE(screens.hasAutoCaptureHandler());
    const auto session = sdk.getSessionId();
    ASSERT_TRUE(session);
    sdk.close();
    EXPECT_TRUE(sdk.isOptOut());
    EXPECT_TRUE(log.has(std::string("[Orbit] ") + OrbitSDK::setupGuardMessage));
    sdk.capture("while closed");
    orbittest::HedgeLogCapture again;  // close() turned the debug log off
    sdk.setup(client.config);
    EXPECT_FALSE(again.hasPrefix("[Orbit] Project token: phc_capture already has"));
    EXPECT_NE(sdk.getSessionId(), session);
    sdk.capture("after close");
    // A batch whose answer was still on its way at close() stays queued and goes again: the
    // service keeps one event per uuid.
    events = client.sent(6);
    EXPECT_EQ(names(events).back(), "after close");
    std::set<std::string> uuids;
    for (const auto& event : events) uuids.insert(event["uuid"].get<std::string>());
    EXPECT_EQ(uuids.size(), 6u) << json(names(events)).dump();
}

// Eight threads capture while a ninth opts out, in, closes and sets up again a thousand times:
// nothing crashes and every event that arrives is whole.
TEST(OrbitOptOutTest, CapturesSurviveATeardownLoopOnAnotherThread) {
    // Every set-up and opt-out stores values with fsync: in memory, the loops spend their time on
    // the races this test is about rather than on the disk.
    const std::filesystem::path shm("/dev/shm");
    modelstest::TempDir memory(std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path());
    Client client(
        [](OrbitConfig& config) {
            config.debug = false;
            config.preloadFeatureFlags = false;
            config.captureApplicationLifecycleEvents = true;
        },
        [&](orbit::OrbitHost& host) { host.dataHome = memory.path(); });
    auto& sdk = *client.sdk;
    std::atomic<bool> done{false};
    std::vector<std::thread> capturers;
    for (int t = 0; t < 8; ++t)
        capturers.emplace_back([&, t] {
            for (int n = 0; !done; ++n) {
                sdk.capture("stress", json{{"thread", t}, {"n", n}, {"pad", std::string(100, 'x')}});
                if (n % 16 == 0) sdk.getFeatureFlag("any");
                if (n % 32 == 0) sdk.registerProperties({{"t", t}});
            }
        });
    for (int i = 0; i < 1000; ++i) {
        sdk.optOut();
        sdk.optIn();
        sdk.close();
        sdk.setup(client.config);
    }
    done = true;
    for (auto& thread : capturers) thread.join();
    sdk.capture("last");
    const auto events = client.sent(1);
    ASSERT_FALSE(events.empty());
    for (const auto& event : events) {
        if (event["event"] != "stress") continue;
        const auto& properties = event["properties"];
        EXPECT_EQ(properties["pad"], std::string(100, 'x'));
        EXPECT_TRUE(properties["thread"].is_number_integer() && properties["n"].is_number_integer());
        EXPECT_TRUE(event["distinct_id"].is_string() && !event["distinct_id"].get<std::string>().empty())
            << event.dump();
        EXPECT_TRUE(properties.contains("$lib") && properties.contains("$session_id")) << event.dump();
    }
}

// A flag read twice reports once with the request id and the flag's details; an unknown flag
// reports once with a null response; a read with reporting off or of the payload reports nothing;
// a changed value reports again, and after reset the same read reports afresh.
TEST(OrbitOptOutTest, FlagReadsAreReportedOncePerKeyAndValue) {
    Client client;
    auto& sdk = *client.sdk;
    ASSERT_TRUE(orbittest::eventually([&] { return client.flagsRequests() == 1; }));
    const auto flags = [](json layout) {
        return json{
            {"flags",
             {{"layout", std::move(layout)},
              {"beta", {{"enabled", true}, {"reason", {{"description", "matched"}}}, {"metadata", {{"id", 7}}}}}}},
            {"requestId", "req-1"},
            {"evaluatedAt", 1700000000}};
    };
    const auto reload = [&] {
        std::atomic<bool> loaded{false};
        sdk.reloadFeatureFlags([&] { loaded = true; });
        ASSERT_TRUE(orbittest::eventually([&] { return loaded.load(); }));
    };
    client.server.answer("flags", orbittest::answer(200, flags({{"enabled", true}}).dump()));
    reload();

    EXPECT_TRUE(sdk.isFeatureEnabled("beta"));
    EXPECT_TRUE(sdk.isFeatureEnabled("beta"));
    EXPECT_EQ(sdk.getFeatureFlag("missing"), std::nullopt);
    EXPECT_EQ(sdk.getFeatureFlag("missing"), std::nullopt);
    EXPECT_EQ(sdk.getFeatureFlag("layout", false), json(true));
    sdk.getFeatureFlagPayload("layout");
    EXPECT_EQ(sdk.getFeatureFlag("layout"), json(true));
    client.server.answer("flags",
                         orbittest::answer(200, flags({{"enabled", true}, {"variant", "compact"}}).dump(), 0, 2));
    reload();
    EXPECT_EQ(sdk.getFeatureFlag("layout"), json("compact"));
    EXPECT_TRUE(sdk.isFeatureEnabled("layout"));
    sdk.reset();  // forgets the flags and loads them again
    ASSERT_TRUE(orbittest::eventually([&] { return sdk.getFeatureFlag("beta", false) == json(true); }));
    EXPECT_TRUE(sdk.isFeatureEnabled("beta"));

    const auto events = client.sent(5);
    ASSERT_EQ(events.size(), 5u);
    std::vector<json> responses;
    for (const auto& event : events) {
        EXPECT_EQ(event["event"], "$feature_flag_called");
        responses.push_back(event["properties"]["$feature_flag_response"]);
    }
    EXPECT_EQ(responses, (std::vector<json>{true, nullptr, true, "compact", true}));
    const auto& beta = events[0]["properties"];
    EXPECT_EQ(beta["$feature_flag"], "beta");
    EXPECT_EQ(beta["$feature_flag_request_id"], "req-1");
    EXPECT_EQ(beta["$feature_flag_evaluated_at"], 1700000000);
    EXPECT_EQ(beta["$feature_flag_reason"], "matched");
    EXPECT_EQ(beta["$feature_flag_id"], 7);
    EXPECT_EQ(beta["$feature_flag_version"], nullptr);
    EXPECT_EQ(events[4]["properties"]["$feature_flag"], "beta");
}
