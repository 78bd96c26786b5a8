#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "Analytics/AnalyticsEvent.h"

namespace sablix {

// The analytics facade as the rest of the application sees it. Properties are a JSON object.
class AnalyticsTracking {
public:
    virtual ~AnalyticsTracking() = default;

    virtual void initialize() = 0;
    virtual void track(AnalyticsEvent event, const nlohmann::json& properties) = 0;
    virtual void identify(const std::string& userId, const nlohmann::json& properties) = 0;
    virtual void reset() = 0;
    virtual void optOut() = 0;
    virtual void optIn() = 0;
    virtual bool isOptedOut() const = 0;

    void track(AnalyticsEvent event) { track(event, nlohmann::json::object()); }
    void identify(const std::string& userId) { identify(userId, nlohmann::json::object()); }
};

}  // namespace sablix
