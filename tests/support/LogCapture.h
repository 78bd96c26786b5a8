#pragma once
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace testsupport {

// Every log record written while it lives, from any thread.
class LogCapture {
public:
    LogCapture() {
        platform::setLogSink([this](const platform::LogRecord& record) {
            std::lock_guard lock(mutex_);
            records_.push_back(record);
        });
    }
    ~LogCapture() { platform::setLogSink(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<platform::LogRecord> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    // The messages of one category, in order.
    std::vector<std::string> messages(const std::string& category) const {
        std::vector<std::string> out;
        for (const auto& r : records())
            if (r.category == category) out.push_back(r.message);
        return out;
    }
    bool contains(const std::string& category, platform::LogLevel level, const std::string& message) const {
        const auto all = records();
        return std::any_of(all.begin(), all.end(), [&](const platform::LogRecord& r) {
            return r.category == category && r.level == level && r.message == message;
        });
    }
    bool has(const std::string& category, const std::string& message) const {
        const auto all = messages(category);
        return std::find(all.begin(), all.end(), message) != all.end();
    }
    size_t count(const std::string& message) const {
        const auto all = records();
        return static_cast<size_t>(
            std::count_if(all.begin(), all.end(), [&](const platform::LogRecord& r) { return r.message == message; }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<platform::LogRecord> records_;
};

}  // namespace testsupport
