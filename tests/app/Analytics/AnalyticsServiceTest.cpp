#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "Analytics/AnalyticsService.h"
#include "Analytics/OrbitAnalyticsClient.h"
#include "orbit/DI.h"
#include "orbit/OrbitSDK.h"
#include "platform/MemoryDefaults.h"
#include "servers/IngestServer.h"
#include "support/ModelsTestSupport.h"

using nlohmann::json;
using sablix::AnalyticsClientConfig;
using sablix::AnalyticsEvent;
using sablix::AnalyticsService;
using sablix::AppEnvironment;

namespace {

// Records every call the facade makes of the analytics client.
class RecordingClient final : public sablix::AnalyticsClient {
public:
    void setup(const AnalyticsClientConfig& config) override { configs.push_back(config); }
    void identify(const std::string& distinctId) override { identify(distinctId, json::object()); }
    void identify(const std::string& distinctId, const json&) override { identities.push_back(distinctId); }
    void capture(const std::string& event, const json& properties) override {
        std::lock_guard lock(mutex);
        captured.emplace_back(event, properties);
    }
    void reset() override { ++resets; }
    void optOut() override {}
    void optIn() override {}

    std::mutex mutex;
    std::vector<AnalyticsClientConfig> configs;
    std::vector<std::string> identities;
    std::vector<std::pair<std::string, json>> captured;
    int resets = 0;
};

struct Facade {
    explicit Facade(std::optional<std::string> version = "2.4.1",
                    std::optional<std::string> machine = "5F0C1D0B-2B5E-5C36-8E0A-1B2C3D4E5F60")
        : service(defaults, client, AppEnvironment(), device(std::move(version), std::move(machine))) {}
    static platform::DeviceInfo device(std::optional<std::string> version, std::optional<std::string> machine) {
        platform::DeviceInfo info;
        info.appVersion = std::move(version);
        info.osVersion = "12.0.0";
        info.machineIdentifier = std::move(machine);
        return info;
    }
    platform::MemoryDefaults defaults;
    RecordingClient client;
    AnalyticsService service;
};

}  // namespace

// Every event carries exactly the application's version, environment and system version, over
// whatever the caller put under those names; without a version of its own it sends none.
TEST(AnalyticsService, EveryEventCarriesTheThreeCommonPropertiesOverCallersValues) {
    Facade f;
    f.service.track(AnalyticsEvent::snippetExpand);
    f.service.track(AnalyticsEvent::teamCreate,
                    {{"environment", "Staging"}, {"app_version", "0.0.1"}, {"os_version", 1}, {"team_size", 3}});
    const json common{{"app_version", "2.4.1"}, {"environment", "Production"}, {"os_version", "12.0.0"}};
    json team = common;
    team["team_size"] = 3;
    EXPECT_EQ(f.client.captured,
              (std::vector<std::pair<std::string, json>>{{"snippet_expand", common}, {"team_create", team}}));

    Facade unversioned(std::nullopt);
    unversioned.service.track(AnalyticsEvent::appLaunch, {{"app_version", "9.9"}, {"source", "launch"}});
    ASSERT_EQ(unversioned.client.captured.size(), 1u);
    EXPECT_EQ(unversioned.client.captured[0].second,
              (json{{"environment", "Production"}, {"os_version", "12.0.0"}, {"source", "launch"}}));
}

// Set up, the client talks to this environment's project and takes the machine as its anonymous
// identity when it has a stable identifier, without identifying anyone. Started opted out, nothing is set up, captured or identified (a reset still
// reaches the client) until the user opts in. (Opting out in settings: SettingsViewTest.)
TEST(AnalyticsService, InitializeGivesTheMachineAsAnonymousIdAndNothingIsSentWhileOptedOut) {
    Facade f, anonymous("1.0", std::nullopt);
    f.service.initialize();
    ASSERT_EQ(f.client.configs.size(), 1u);
    EXPECT_EQ(f.client.configs[0].projectToken, AppEnvironment().orbitAPIKey());
    EXPECT_EQ(f.client.configs[0].host, AppEnvironment().orbitHost());
    EXPECT_EQ(f.client.configs[0].anonymousId, "5F0C1D0B-2B5E-5C36-8E0A-1B2C3D4E5F60");
    EXPECT_TRUE(f.client.identities.empty());
    anonymous.service.initialize();
    EXPECT_EQ(anonymous.client.configs.size(), 1u);
    EXPECT_EQ(anonymous.client.configs[0].anonymousId, std::nullopt);
    EXPECT_TRUE(anonymous.client.identities.empty());

    Facade out;
    out.defaults.set(AnalyticsService::kOptOutKey, true);
    out.service.initialize();
    out.service.track(AnalyticsEvent::appLaunch);
    out.service.identify("user-1", {{"email", "a@example.com"}});
    out.service.reset();
    EXPECT_TRUE(out.client.configs.empty() && out.client.captured.empty() && out.client.identities.empty());
    EXPECT_EQ(out.client.resets, 1);
    out.service.optIn();
    out.service.track(AnalyticsEvent::tutorialStarted);
    EXPECT_EQ(out.client.captured.size(), 1u);
}

TEST(AnalyticsService, TrackIsSafeFromManyThreads) {
    Facade f;
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                f.service.track(AnalyticsEvent::snippetExpand, {{"thread", t}, {"i", i}});
                if (t == 0 && i % 50 == 0) f.service.optIn();
            }
        });
    threads.clear();
    EXPECT_EQ(f.client.captured.size(), 1600u);
    for (const auto& [event, properties] : f.client.captured) EXPECT_EQ(properties.size(), 5u);
}

// Against the analytics library and a local ingest service: events before sign-in carry the
// machine id; each sign-in sends "$identify" for the user with the machine as the anonymous id,
// also after a sign-out and a sign-in as someone else.
TEST(AnalyticsService, TheMachineIsTheAnonymousIdentityAroundEverySignIn) {
    const std::string machine = "5F0C1D0B-2B5E-5C36-8E0A-1B2C3D4E5F60";
    testservers::IngestServer server;
    ASSERT_TRUE(server.start());
    modelstest::TempDir data;
    platform::MemoryDefaults defaults;
    defaults.set(AppEnvironment::kOrbitHostOverrideKey, server.baseURL());
    const AppEnvironment environment(AppEnvironment::Kind::development, &defaults);
    orbit::OrbitApplicationInfo info;
    info.version = "2.4.1";
    info.build = "7";
    sablix::OrbitAnalyticsClient client(
        defaults, info, [](std::function<void()> task) { task(); }, data.path());
    AnalyticsService service(defaults, client, environment, Facade::device("2.4.1", machine));
    service.initialize();
    service.track(AnalyticsEvent::appLaunch);
    service.identify("user-1", json::object());
    service.reset();
    service.track(AnalyticsEvent::tutorialStarted);
    service.identify("user-2", json::object());

    const auto sent = [&] {
        std::vector<json> events;
        for (const auto& request : server.requests())
            if (request.route == "batch" && request.json.is_object())
                for (const auto& event : request.json["batch"]) events.push_back(event);
        return events;
    };
    std::vector<json> events;
    for (int i = 0; i < 400 && events.size() < 5; ++i) {
        orbit::ApplicationLifecyclePublisher::shared().appDidEnterBackground();  // flushes
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        events = sent();
    }
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& event : events) seen.emplace_back(event["event"], event["distinct_id"]);
    ASSERT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{"Application Installed", machine},
                                                                      {"app_launch", machine},
                                                                      {"$identify", "user-1"},
                                                                      {"tutorial_started", machine},
                                                                      {"$identify", "user-2"}}));
    EXPECT_EQ(events[2]["properties"]["$anon_distinct_id"], machine);
    EXPECT_EQ(events[4]["properties"]["$anon_distinct_id"], machine);
    EXPECT_EQ(events[1]["properties"]["environment"], "Development");
    EXPECT_EQ(defaults.string("OBGBuildKeyV2"), "7");
}
