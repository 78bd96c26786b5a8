#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "Analytics/AnalyticsService.h"
#include "platform/MemoryDefaults.h"

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

// Set up, the client talks to this environment's project and knows the machine when it has a
// stable identifier. Started opted out, nothing is set up, captured or identified (a reset still
// reaches the client) until the user opts in. (Opting out in settings: SettingsViewTest.)
TEST(AnalyticsService, InitializeIdentifiesTheMachineAndNothingIsSentWhileOptedOut) {
    Facade f, anonymous("1.0", std::nullopt);
    f.service.initialize();
    ASSERT_EQ(f.client.configs.size(), 1u);
    EXPECT_EQ(f.client.configs[0].projectToken, AppEnvironment().orbitAPIKey());
    EXPECT_EQ(f.client.configs[0].host, AppEnvironment().orbitHost());
    EXPECT_EQ(f.client.identities, std::vector<std::string>{"5F0C1D0B-2B5E-5C36-8E0A-1B2C3D4E5F60"});
    anonymous.service.initialize();
    EXPECT_EQ(anonymous.client.configs.size(), 1u);
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
