#pragma once
#include <concepts>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orbit/Logs/OrbitLogsConfig.h"
#include "orbit/Models/BoxedBeforeSendBlock.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/OrbitStorageManager.h"
#include "orbit/Utils/BeforeSendChain.h"

namespace orbit {

// When the event queue may send; only wifi changes anything: the queue pauses off wifi.
enum class OrbitDataMode { wifi = 0, cellular = 1, any = 2 };

// The HTTP session the client builds its own on; its headers come with every request unless the
// client sets one of the same name.
struct OrbitSessionConfiguration {
    std::map<std::string, std::string> additionalHeaders;
};

// How a program configures the analytics client. The program sets its fields before the client
// is set up; the client only reads them afterwards, except the snapshot endpoint, which the
// remote configuration replaces while uploads read it.
class OrbitConfig {
public:
    using Hook = BeforeSendChain<OrbitEvent>::Hook;

    static constexpr const char* defaultHost = "https://us.ingest.orbit-analytics.sablix.app";

    explicit OrbitConfig(std::string projectToken, std::string host = defaultHost)
        : host(std::move(host)), projectToken(std::move(projectToken)) {}

    std::string host;  // scheme, host and base path of every request
    std::string projectToken;
    std::optional<OrbitSessionConfiguration> urlSessionConfiguration;
    std::optional<std::vector<std::string>> evaluationContexts;

    int flushAt = 20;
    int maxQueueSize = 1000;
    int maxBatchSize = 50;
    double flushIntervalSeconds = 30.0;
    int maxRetries = 3;
    OrbitDataMode dataMode = OrbitDataMode::any;
    OrbitLogsConfig logs;

    bool disableReachabilityForTesting = false;
    bool disableQueueTimerForTesting = false;
    bool debug = false;
    bool preloadFeatureFlags = true;
    bool sendFeatureFlagEvent = true;
    bool reuseAnonymousId = false;
    bool setDefaultPersonProperties = true;
    std::shared_ptr<OrbitStorageManager> storageManager;

    BeforeSendChain<OrbitEvent> beforeSend;

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

}  // namespace orbit
