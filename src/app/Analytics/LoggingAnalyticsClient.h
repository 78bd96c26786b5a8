#pragma once
#include "Analytics/AnalyticsClient.h"
#include "platform/Log.h"

namespace sablix {

// The application's analytics client until the real one is part of the build: it only writes
// each call to the debug log, and sends nothing anywhere.
class LoggingAnalyticsClient final : public AnalyticsClient {
public:
    LoggingAnalyticsClient();

    void setup(const AnalyticsClientConfig& config) override;
    void identify(const std::string& distinctId) override;
    void identify(const std::string& distinctId, const nlohmann::json& userProperties) override;
    void capture(const std::string& event, const nlohmann::json& properties) override;
    void reset() override;
    void optOut() override;
    void optIn() override;

private:
    platform::Log logger_;
};

}  // namespace sablix
