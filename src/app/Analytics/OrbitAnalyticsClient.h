#pragma once
#include <filesystem>
#include <memory>

#include "Analytics/AnalyticsClient.h"
#include "orbit/OrbitHost.h"
#include "platform/Defaults.h"
#include "platform/Log.h"

namespace orbit {
class OrbitSDK;
}

namespace sablix {

// The analytics client backed by the application's analytics library: one client instance, set
// up once. The host's defaults store, version and build come from the application.
class OrbitAnalyticsClient final : public AnalyticsClient {
public:
    // defaults must outlive the client. An empty dataHome is the user's data folder.
    OrbitAnalyticsClient(platform::Defaults& defaults, orbit::OrbitApplicationInfo applicationInfo,
                         orbit::OrbitExecutor mainQueue, std::filesystem::path dataHome);
    ~OrbitAnalyticsClient() override;

    void setup(const AnalyticsClientConfig& config) override;
    void identify(const std::string& distinctId) override;
    void identify(const std::string& distinctId, const nlohmann::json& userProperties) override;
    void capture(const std::string& event, const nlohmann::json& properties) override;
    void reset() override;
    void optOut() override;
    void optIn() override;

    // For the host's own reports to the library (life cycle, screen size).
    std::weak_ptr<orbit::OrbitSDK> client() const { return sdk_; }

private:
    const std::shared_ptr<orbit::OrbitSDK> sdk_;
    platform::Log logger_ = platform::appLog("Analytics");
};

}  // namespace sablix
