#pragma once
#include <atomic>
#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/ErrorTracking/OrbitErrorTrackingConfig.h"
#include "orbit/Logs/OrbitLogsConfig.h"
#include "orbit/Models/BoxedBeforeSendBlock.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/OrbitIntegration.h"
#include "orbit/OrbitStorageManager.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Surveys/OrbitSurveysConfig.h"
#include "orbit/Utils/AtomicShared.h"
#include "orbit/Utils/BeforeSendChain.h"
#include "orbit/Utils/Uuid.h"

namespace orbit {

// When the event queue may send; only wifi changes anything: the queue pauses off wifi.
enum class OrbitDataMode { wifi = 0, cellular = 1, any = 2 };
std::optional<OrbitDataMode> orbitDataMode(int rawValue);

// When events carry person profiles.
enum class OrbitPersonProfiles { never = 0, always = 1, identifiedOnly = 2 };
std::optional<OrbitPersonProfiles> orbitPersonProfiles(int rawValue);

// Rewrites the properties of every event before it is built.
class OrbitPropertiesSanitizer {
public:
    virtual ~OrbitPropertiesSanitizer() = default;
    virtual nlohmann::json sanitize(const nlohmann::json& properties) = 0;
};

// The transport's settings. Each becomes a libcurl option of every request the client makes:
// the headers go with every request unless the client sets one of the same name.
struct OrbitSessionConfiguration {
    std::map<std::string, std::string> additionalHeaders;
};

// How a program configures the analytics client. The program sets the options before the client
// is set up; the client reads most of them when it needs them. optOut is the live switch written by
// opting in and out while captures read it on other threads; the snapshot endpoint is replaced by
// the remote configuration while uploads read it.
class OrbitConfig {
public:
    using Hook = BeforeSendChain<OrbitEvent>::Hook;
    using AnonymousIdMapper = std::function<Uuid(const Uuid&)>;

    // The analytics service's US ingestion origin.
    static constexpr const char* defaultHost = "https://us.ingest.orbit-analytics.sablix.app";

    // The token is trimmed of white space and line breaks.
    explicit OrbitConfig(std::string_view projectToken);
    // The host likewise; an empty one, or one that is not a URL, is defaultHost.
    OrbitConfig(std::string_view projectToken, std::string_view host);
    // Deprecated: log that, then as the projectToken forms.
    static std::shared_ptr<OrbitConfig> withApiKey(std::string_view apiKey);
    static std::shared_ptr<OrbitConfig> withApiKey(std::string_view apiKey, std::string_view host);

    OrbitConfig(const OrbitConfig&) = delete;
    OrbitConfig& operator=(const OrbitConfig&) = delete;

    const std::string host;  // scheme, host and base path of every request
    const std::string projectToken;

    int flushAt = 20;
    int maxQueueSize = 1000;
    int maxBatchSize = 50;
    double flushIntervalSeconds = 30.0;
    int maxRetries = 3;
    OrbitDataMode dataMode = OrbitDataMode::any;
    bool sendFeatureFlagEvent = true;
    bool preloadFeatureFlags = true;
    bool captureApplicationLifecycleEvents = true;
    bool captureScreenViews = true;
    bool enableSwizzling = true;
    bool debug = false;
    std::atomic<bool> optOut{false};
    AnonymousIdMapper getAnonymousId = [](const Uuid& id) { return id; };
    bool reuseAnonymousId = false;
    std::shared_ptr<OrbitPropertiesSanitizer> propertiesSanitizer;
    OrbitPersonProfiles personProfiles = OrbitPersonProfiles::identifiedOnly;
    bool setDefaultPersonProperties = true;
    std::optional<std::vector<std::string>> evaluationContexts;
    std::optional<std::string> appGroupIdentifier;
    OrbitErrorTrackingConfig errorTrackingConfig;
    OrbitLogsConfig logs;
    std::optional<OrbitSessionConfiguration> urlSessionConfiguration;

    bool disableReachabilityForTesting = false;
    bool disableQueueTimerForTesting = false;
    bool disableFlushOnBackgroundForTesting = false;
    bool disableRemoteConfigForTesting = false;

    // Set-up fills it and close() empties it while captures and flag requests read it.
    AtomicShared<OrbitStorageManager> storageManager;

    bool surveys = true;
    OrbitSurveysConfig surveysConfig;

    BeforeSendChain<OrbitEvent> beforeSend;

    // Deprecated aliases.
    std::string apiKey() const;  // logs the deprecation on every read
    bool remoteConfig() const { return true; }
    void setRemoteConfig(bool enabled);
    std::optional<std::vector<std::string>> evaluationEnvironments() const { return evaluationContexts; }
    void setEvaluationEnvironments(std::optional<std::vector<std::string>> environments);

    // New integration objects, each only when its switch is on: error tracking, screen views,
    // life cycle.
    std::vector<std::shared_ptr<OrbitIntegration>> getIntegrations() const;

    // Each form replaces the whole chain.
    void setBeforeSend(std::vector<Hook> hooks) { beforeSend.set(std::move(hooks)); }
    void setBeforeSend(const std::vector<BoxedBeforeSendBlock>& boxes);
    template <typename... Hooks>
    requires(sizeof...(Hooks) > 0 && (std::convertible_to<Hooks, Hook> && ...)) void setBeforeSend(Hooks&&... hooks) {
        setBeforeSend(std::vector<Hook>{Hook(std::forward<Hooks>(hooks))...});
    }

    std::string snapshotEndpoint() const;
    void setSnapshotEndpoint(std::string endpoint);

private:
    mutable std::mutex snapshotEndpointLock_;
    std::string snapshotEndpoint_ = "/s/";
};

// The name the client announces itself by when no wrapping program changed it.
inline constexpr const char* orbitiOSSdkName = "orbit-ios";

}  // namespace orbit
