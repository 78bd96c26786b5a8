#include "Analytics/AnalyticsService.h"

namespace sablix {

AnalyticsService::AnalyticsService(platform::Defaults& defaults, AnalyticsClient& client, AppEnvironment environment,
                                   platform::DeviceInfo device)
    : defaults_(defaults),
      client_(client),
      environment_(environment),
      device_(std::move(device)),
      logger_(platform::appLog("Analytics")) {}

bool AnalyticsService::isOptedOut() const { return defaults_.boolean(kOptOutKey); }

void AnalyticsService::initialize() {
    if (isOptedOut()) {
        logger_.info("Analytics opted out — skipping initialization");
        return;
    }
    AnalyticsClientConfig config;
    config.projectToken = environment_.orbitAPIKey();
    config.host = environment_.orbitHost();
    config.captureScreenViews = false;
    config.captureApplicationLifecycleEvents = true;
    config.flushAt = kFlushAt;
    config.flushIntervalSeconds = kFlushIntervalSeconds;
    // The machine is the anonymous identity, not an identified one: identifying it here would
    // leave the client already identified, and the sign-in's identify would then be refused.
    config.anonymousId = stableMachineId();
    client_.setup(config);
    logger_.info("Analytics initialized for %s", environment_.displayName().c_str());
}

void AnalyticsService::track(AnalyticsEvent event, const nlohmann::json& properties) {
    if (isOptedOut()) return;
    nlohmann::json all = properties.is_object() ? properties : nlohmann::json::object();
    if (device_.appVersion)
        all["app_version"] = *device_.appVersion;
    else
        all.erase("app_version");
    all["environment"] = environment_.displayName();
    all["os_version"] = device_.osVersion;
    client_.capture(std::string(rawValue(event)), all);
}

void AnalyticsService::identify(const std::string& userId, const nlohmann::json& properties) {
    if (isOptedOut()) return;
    client_.identify(userId, properties.is_object() ? properties : nlohmann::json::object());
}

void AnalyticsService::reset() { client_.reset(); }

void AnalyticsService::optOut() {
    defaults_.set(kOptOutKey, true);
    client_.optOut();
    logger_.info("Analytics opted out");
}

void AnalyticsService::optIn() {
    defaults_.set(kOptOutKey, false);
    client_.optIn();
    logger_.info("Analytics opted in");
}

std::optional<std::string> AnalyticsService::stableMachineId() const { return device_.machineIdentifier; }

}  // namespace sablix
