#pragma once
#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orbit/Utils/HedgeLog.h"
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
    bool has(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    bool hasPrefix(const std::string& prefix) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const std::string& l) { return l.starts_with(prefix); });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

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
