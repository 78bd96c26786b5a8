#pragma once
#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orbit/Models/OrbitEvent.h"
#include "orbit/Utils/HedgeLog.h"
#include "servers/IngestServer.h"
#include "support/ChildProcess.h"

namespace orbittest {

// Every debug-log line written while it lives, from any thread; the log is on meanwhile.
class HedgeLogCapture {
public:
    HedgeLogCapture() {
        orbit::setHedgeLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
        orbit::toggleHedgeLog(true);
    }
    ~HedgeLogCapture() {
        orbit::toggleHedgeLog(false);
        orbit::setHedgeLogSink(nullptr);
    }
    HedgeLogCapture(const HedgeLogCapture&) = delete;
    HedgeLogCapture& operator=(const HedgeLogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool has(const std::string& line) const { return hasPrefix(line, true); }
    bool hasPrefix(const std::string& prefix, bool whole = false) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& l) { return whole ? l == prefix : l.starts_with(prefix); });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

inline testservers::IngestAnswer answer(int status, std::string body = "", int delayMs = 0, int count = 1) {
    testservers::IngestAnswer given;
    given.status = status;
    given.body = std::move(body);
    given.delayMs = delayMs;
    given.count = count;
    return given;
}

inline orbit::OrbitEvent event(const std::string& name, nlohmann::json properties = nlohmann::json::object()) {
    return orbit::OrbitEvent(name, "user-1", std::move(properties), orbit::systemNow(), orbit::Uuid::v7());
}

// Runs one check of crosscheck.py over path; its output ("ok" when everything matched), or
// nothing when python3 cannot be run.
inline std::optional<std::string> crossCheck(const std::string& check, const std::string& path,
                                             const std::vector<std::string>& environment = {}) {
    int code = -1;
    testsupport::runCommand({"python3", "--version"}, &code);
    if (code != 0) return std::nullopt;
    return testsupport::runCommand({"python3", SABLIX_SOURCE_DIR "/tests/orbit/crosscheck.py", check, path}, &code,
                                   120000, environment);
}

}  // namespace orbittest
