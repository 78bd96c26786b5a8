#pragma once

namespace orbit {

// The settings of a rage-click detector: clicks close together in place and time.
struct OrbitRageClickConfig {
    bool enabled = true;
    double thresholdPoints = 30.0;  // how far, in points, from the latest click the others may lie
    double timeoutInterval = 1.0;   // seconds a click keeps counting
    int minimumTapCount = 3;        // clicks that make a rage click
};

}  // namespace orbit
