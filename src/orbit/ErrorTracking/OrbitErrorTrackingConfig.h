#pragma once
#include <atomic>

namespace orbit {

// The error-tracking settings of a configuration.
class OrbitErrorTrackingConfig {
public:
    // Whether crashes of the process become "$exception" events at the next start.
    std::atomic<bool> autoCapture{false};
};

}  // namespace orbit
