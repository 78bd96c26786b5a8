#include "Analytics/OrbitAnalyticsClient.h"

#include "orbit/OrbitSDK.h"

namespace sablix {
namespace {

// The analytics library's view of the application's defaults.json (for the version and build
// seen at the last launch). Writes go to the file at once, so there is nothing to synchronise.
class DefaultsStore final : public orbit::OrbitDefaultsStore {
public:
    explicit DefaultsStore(platform::Defaults& defaults) : defaults_(defaults) {}
    std::optional<std::string> string(const std::string& key) override { return defaults_.string(key); }
    void setString(const std::string& key, const std::string& value) override { defaults_.set(key, value); }
    void synchronize() override {}

private:
    platform::Defaults& defaults_;
};

orbit::OrbitHost hostFor(platform::Defaults& defaults, orbit::OrbitApplicationInfo applicationInfo,
                         orbit::OrbitExecutor mainQueue, std::filesystem::path dataHome) {
    orbit::OrbitHost host;
    host.applicationInfo = std::move(applicationInfo);
    host.defaults = std::make_shared<DefaultsStore>(defaults);
    host.mainQueue = std::move(mainQueue);
    host.dataHome = std::move(dataHome);
    return host;
}

}  // namespace

OrbitAnalyticsClient::OrbitAnalyticsClient(platform::Defaults& defaults, orbit::OrbitApplicationInfo applicationInfo,
                                           orbit::OrbitExecutor mainQueue, std::filesystem::path dataHome)
    : sdk_(orbit::OrbitSDK::make(
          nullptr, hostFor(defaults, std::move(applicationInfo), std::move(mainQueue), std::move(dataHome)))) {}

OrbitAnalyticsClient::~OrbitAnalyticsClient() = default;

void OrbitAnalyticsClient::setup(const AnalyticsClientConfig& config) {
    auto orbitConfig = std::make_shared<orbit::OrbitConfig>(config.projectToken, config.host);
    orbitConfig->captureScreenViews = config.captureScreenViews;
    orbitConfig->captureApplicationLifecycleEvents = config.captureApplicationLifecycleEvents;
    orbitConfig->flushAt = config.flushAt;
    orbitConfig->flushIntervalSeconds = config.flushIntervalSeconds;
    // Every anonymous identity the library makes (the first, and the one after each reset) is
    // the machine's, so that the machine stays the person until someone signs in.
    if (config.anonymousId)
        if (const auto machine = orbit::Uuid::fromString(*config.anonymousId))
            orbitConfig->getAnonymousId = [machine = *machine](const orbit::Uuid&) { return machine; };
    sdk_->setup(orbitConfig);
    // The application sets the client up only while its own switch is on, and that switch
    // governs: an opt-out the client stored in an earlier launch stays behind when the user opts
    // in again during a launch that started opted out (the client was not set up to hear it), and
    // would otherwise drop every event from here on while the settings show analytics on.
    sdk_->optIn();
}

void OrbitAnalyticsClient::identify(const std::string& distinctId) { sdk_->identify(distinctId); }

void OrbitAnalyticsClient::identify(const std::string& distinctId, const nlohmann::json& userProperties) {
    sdk_->identify(distinctId, userProperties);
}

void OrbitAnalyticsClient::capture(const std::string& event, const nlohmann::json& properties) {
    // The name only: properties may hold what a log should not.
    logger_.debug("Analytics event %s", event.c_str());
    sdk_->capture(event, properties);
}

void OrbitAnalyticsClient::reset() { sdk_->reset(); }

void OrbitAnalyticsClient::optOut() { sdk_->optOut(); }

void OrbitAnalyticsClient::optIn() { sdk_->optIn(); }

}  // namespace sablix
