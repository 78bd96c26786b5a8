#include <gtest/gtest.h>
#include <mutex>
#include <thread>

#include "Models/Analytics/AnalyticsService.h"
#include "platform/MemoryDefaults.h"
#include "support/LogCapture.h"

using nlohmann::json;
using sablix::AnalyticsClientConfig;
using sablix::AnalyticsEvent;
using sablix::AnalyticsService;
using sablix::AppEnvironment;

namespace {

// Records every call the facade makes of the analytics client.
class RecordingClient final : public sablix::AnalyticsClient {
public:
    struct Captured {
        std::string event;
        json properties;
    };

    void setup(const AnalyticsClientConfig& config) override {
        std::lock_guard lock(mutex);
        configs.push_back(config);
    }
    void identify(const std::string& distinctId) override { identify(distinctId, json::object()); }
    void identify(const std::string& distinctId, const json& userProperties) override {
        std::lock_guard lock(mutex);
        identities.emplace_back(distinctId, userProperties);
    }
    void capture(const std::string& event, const json& properties) override {
        std::lock_guard lock(mutex);
        captured.push_back({event, properties});
    }
    void reset() override { ++resets; }
    void optOut() override { ++optOuts; }
    void optIn() override { ++optIns; }

    std::mutex mutex;
    std::vector<AnalyticsClientConfig> configs;
    std::vector<std::pair<std::string, json>> identities;
    std::vector<Captured> captured;
    std::atomic<int> resets{0}, optOuts{0}, optIns{0};
};

// The facade's own log lines.
struct LogCapture : testsupport::LogCapture {
    bool has(const std::string& message) const { return testsupport::LogCapture::has("Analytics", message); }
};

platform::DeviceInfo device(std::optional<std::string> version = "2.4.1",
                            std::optional<std::string> machine = "5F0C1D0B-2B5E-5C36-8E0A-1B2C3D4E5F60") {
    platform::DeviceInfo info;
    info.appVersion = std::move(version);
    info.appBuild = "17";
    info.osVersion = "12.0.0";
    info.machineIdentifier = std::move(machine);
    return info;
}

struct Facade {
    explicit Facade(platform::DeviceInfo info = device())
        : service(defaults, client, AppEnvironment(), std::move(info)) {}
    platform::MemoryDefaults defaults;
    RecordingClient client;
    AnalyticsService service;
};

}  // namespace

TEST(AnalyticsEvent, NamesAreTheOnesTheServiceKnows) {
    const std::vector<std::string> expected{"app_launch",
                                            "snippet_create",
                                            "snippet_delete",
                                            "snippet_expand",
                                            "ai_generation_start",
                                            "ai_generation_complete",
                                            "user_sign_in",
                                            "user_sign_out",
                                            "team_create",
                                            "team_join",
                                            "starter_snippets_seeded",
                                            "tutorial_started",
                                            "tutorial_practice_success",
                                            "tutorial_completed",
                                            "tutorial_skipped",
                                            "referral_code_applied",
                                            "snippet_imported",
                                            "first_snippet_expand"};
    std::vector<std::string> names;
    for (AnalyticsEvent event : sablix::allAnalyticsEvents()) {
        names.emplace_back(sablix::rawValue(event));
        EXPECT_EQ(sablix::analyticsEventFromRaw(names.back()), event);
    }
    EXPECT_EQ(names, expected);
}

TEST(AnalyticsService, EveryEventCarriesTheThreeCommonPropertiesOverCallersValues) {
    Facade f;
    f.service.track(AnalyticsEvent::snippetExpand);
    f.service.track(AnalyticsEvent::teamCreate,
                    {{"environment", "Staging"}, {"app_version", "0.0.1"}, {"os_version", 1}, {"team_size", 3}});
    ASSERT_EQ(f.client.captured.size(), 2u);
    EXPECT_EQ(f.client.captured[0].event, "snippet_expand");
    EXPECT_EQ(f.client.captured[0].properties,
              (json{{"app_version", "2.4.1"}, {"environment", "Production"}, {"os_version", "12.0.0"}}));
    EXPECT_EQ(f.client.captured[1].event, "team_create");
    EXPECT_EQ(
        f.client.captured[1].properties,
        (json{{"app_version", "2.4.1"}, {"environment", "Production"}, {"os_version", "12.0.0"}, {"team_size", 3}}));

    // Without a version of its own the application sends none, not the caller's.
    Facade unversioned(device(std::nullopt));
    unversioned.service.track(AnalyticsEvent::appLaunch, {{"app_version", "9.9"}, {"source", "launch"}});
    ASSERT_EQ(unversioned.client.captured.size(), 1u);
    EXPECT_EQ(unversioned.client.captured[0].properties,
              (json{{"environment", "Production"}, {"os_version", "12.0.0"}, {"source", "launch"}}));
}

TEST(AnalyticsService, InitializeConfiguresTheClientAndIdentifiesTheMachine) {
    LogCapture log;
    Facade f;
    f.service.initialize();
    ASSERT_EQ(f.client.configs.size(), 1u);
    const AnalyticsClientConfig& config = f.client.configs[0];
    EXPECT_EQ(config.projectToken, AppEnvironment().orbitAPIKey());
    EXPECT_EQ(config.host, AppEnvironment().orbitHost());
    EXPECT_FALSE(config.captureScreenViews);
    EXPECT_TRUE(config.captureApplicationLifecycleEvents);
    EXPECT_EQ(config.flushAt, 10);
    EXPECT_EQ(config.flushIntervalSeconds, 30.0);
    ASSERT_EQ(f.client.identities.size(), 1u);
    EXPECT_EQ(f.client.identities[0].first, "5F0C1D0B-2B5E-5C36-8E0A-1B2C3D4E5F60");
    EXPECT_TRUE(log.has("Analytics initialized for Production"));

    Facade anonymous(device("1.0", std::nullopt));
    anonymous.service.initialize();
    EXPECT_EQ(anonymous.client.configs.size(), 1u);
    EXPECT_TRUE(anonymous.client.identities.empty());
}

TEST(AnalyticsService, NothingIsSentWhileOptedOutButResetStillReachesTheClient) {
    LogCapture log;
    Facade f;
    f.defaults.set(AnalyticsService::kOptOutKey, true);
    EXPECT_TRUE(f.service.isOptedOut());
    f.service.initialize();
    f.service.track(AnalyticsEvent::appLaunch);
    f.service.identify("user-1", {{"email", "a@example.com"}});
    f.service.reset();
    EXPECT_TRUE(f.client.configs.empty());
    EXPECT_TRUE(f.client.captured.empty());
    EXPECT_TRUE(f.client.identities.empty());
    EXPECT_EQ(f.client.resets, 1);
    EXPECT_TRUE(log.has("Analytics opted out — skipping initialization"));

    // Opting in stores the choice and tells the client, but sets nothing up until next launch.
    f.service.optIn();
    EXPECT_FALSE(f.defaults.boolean(AnalyticsService::kOptOutKey));
    EXPECT_TRUE(f.defaults.contains(AnalyticsService::kOptOutKey));
    EXPECT_EQ(f.client.optIns, 1);
    EXPECT_TRUE(f.client.configs.empty());
    f.service.track(AnalyticsEvent::tutorialStarted);
    EXPECT_EQ(f.client.captured.size(), 1u);
    EXPECT_TRUE(log.has("Analytics opted in"));

    f.service.optOut();
    EXPECT_TRUE(f.service.isOptedOut());
    EXPECT_EQ(f.client.optOuts, 1);
    f.service.track(AnalyticsEvent::tutorialCompleted);
    EXPECT_EQ(f.client.captured.size(), 1u);
    EXPECT_TRUE(log.has("Analytics opted out"));
}

TEST(AnalyticsService, TrackIsSafeFromManyThreads) {
    Facade f;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                f.service.track(AnalyticsEvent::snippetExpand, {{"thread", t}, {"i", i}});
                if (t == 0 && i % 50 == 0) f.service.optIn();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(f.client.captured.size(), 1600u);
    for (const auto& c : f.client.captured) EXPECT_EQ(c.properties.size(), 5u);
}
