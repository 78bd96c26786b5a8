#pragma once
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Analytics/AnalyticsTracking.h"

namespace testsupport {

// Records every tracked event by its name, with its properties.
class FakeAnalyticsTracking final : public sablix::AnalyticsTracking {
public:
    void initialize() override {}
    void track(sablix::AnalyticsEvent event, const nlohmann::json& properties) override {
        std::lock_guard lock(mutex_);
        events_.emplace_back(std::string(sablix::rawValue(event)), properties);
    }
    void identify(const std::string&, const nlohmann::json&) override {}
    void reset() override {}
    void optOut() override {}
    void optIn() override {}
    bool isOptedOut() const override { return false; }

    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> names;
        for (const auto& event : events_) names.push_back(event.first);
        return names;
    }
    std::vector<std::pair<std::string, nlohmann::json>> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    using sablix::AnalyticsTracking::track;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, nlohmann::json>> events_;
};

}  // namespace testsupport
