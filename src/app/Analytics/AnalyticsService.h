#pragma once
#include <string>

#include "Analytics/AnalyticsClient.h"
#include "Analytics/AnalyticsTracking.h"
#include "Shell/Environment/AppEnvironment.h"
#include "platform/Defaults.h"
#include "platform/DeviceInfo.h"
#include "platform/Log.h"

namespace sablix {

// The one way the application records usage: honours the user's opt-out ("analytics_opt_out"),
// adds "app_version", "environment" and "os_version" to every event, and gives the machine
// identifier as the anonymous identity until a user signs in. Every call may come from any
// thread.
class AnalyticsService final : public AnalyticsTracking {
public:
    static constexpr const char* kOptOutKey = "analytics_opt_out";
    static constexpr int kFlushAt = 10;
    static constexpr double kFlushIntervalSeconds = 30.0;

    AnalyticsService(platform::Defaults& defaults, AnalyticsClient& client, AppEnvironment environment,
                     platform::DeviceInfo device);

    void initialize() override;
    void track(AnalyticsEvent event, const nlohmann::json& properties) override;
    void identify(const std::string& userId, const nlohmann::json& properties) override;
    void reset() override;
    void optOut() override;
    void optIn() override;
    bool isOptedOut() const override;

    using AnalyticsTracking::identify;
    using AnalyticsTracking::track;

private:
    std::optional<std::string> stableMachineId() const;

    platform::Defaults& defaults_;
    AnalyticsClient& client_;
    AppEnvironment environment_;
    platform::DeviceInfo device_;
    platform::Log logger_;
};

}  // namespace sablix
