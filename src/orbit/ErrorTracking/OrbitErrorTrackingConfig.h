#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "orbit/OrbitHost.h"

namespace orbit {

// The error-tracking settings of a configuration: the crash auto-capture switch and the rules that
// tell the application's own frames from those of libraries and the system. The host may change
// any of them at any time; every frame classified afterwards sees the change.
class OrbitErrorTrackingConfig {
public:
    // Includes the identifier and the executable's file name of this process (from /proc/self/exe).
    OrbitErrorTrackingConfig();
    // Includes the program's identifier ("com.orbit.unknown" without one), then its executable's
    // file name when it has one.
    explicit OrbitErrorTrackingConfig(const OrbitApplicationInfo& application);

    OrbitErrorTrackingConfig(const OrbitErrorTrackingConfig&) = delete;
    OrbitErrorTrackingConfig& operator=(const OrbitErrorTrackingConfig&) = delete;

    // Whether crashes of the process become "$exception" events at the next start.
    std::atomic<bool> autoCapture{false};
    // The answer for a frame that no rule decides.
    std::atomic<bool> inAppByDefault{true};

    // Module-name prefixes of frames that are always in app.
    std::vector<std::string> inAppIncludes() const;
    void setInAppIncludes(std::vector<std::string> includes);
    // Module-name prefixes of frames that are not in app unless an include matches.
    std::vector<std::string> inAppExcludes() const;
    void setInAppExcludes(std::vector<std::string> excludes);

private:
    mutable std::mutex lock_;
    std::vector<std::string> inAppIncludes_;
    std::vector<std::string> inAppExcludes_;
};

}  // namespace orbit
