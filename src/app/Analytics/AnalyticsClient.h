#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace sablix {

// The settings the application chooses for the analytics client; the rest stay the client's own.
struct AnalyticsClientConfig {
    std::string projectToken;
    std::string host;
    bool captureScreenViews = true;
    bool captureApplicationLifecycleEvents = true;
    int flushAt = 20;
    double flushIntervalSeconds = 30.0;
    // The identity of events before sign-in and after sign-out (the machine's, when it has one).
    std::optional<std::string> anonymousId;
};

// What the analytics facade needs of the analytics client. Every call may come from any thread
// and returns without reporting anything; calls made before setup have no effect on the caller.
// setup is called only while the user has analytics on: the client is then opted in, whatever it
// kept from an earlier launch.
class AnalyticsClient {
public:
    virtual ~AnalyticsClient() = default;
    virtual void setup(const AnalyticsClientConfig& config) = 0;
    virtual void identify(const std::string& distinctId) = 0;
    virtual void identify(const std::string& distinctId, const nlohmann::json& userProperties) = 0;
    virtual void capture(const std::string& event, const nlohmann::json& properties) = 0;
    virtual void reset() = 0;
    virtual void optOut() = 0;
    virtual void optIn() = 0;
};

}  // namespace sablix
