#pragma once
#include <vector>

#include "orbit/Autocapture/OrbitRageClickConfig.h"

namespace orbit {

// Tells whether a click completes a rage click. Not synchronised: one caller at a time.
class RageClickDetector {
public:
    explicit RageClickDetector(const OrbitRageClickConfig& config);

    // `timestamp` in seconds. The clicks kept are those within `timeoutInterval` before the new
    // one and within `thresholdPoints` of it; the click that brings them to `minimumTapCount` is a
    // rage click and starts the count anew.
    bool isRageClick(double x, double y, double timestamp);
    void reset();

private:
    struct Click {
        double posX;
        double posY;
        double timestamp;
    };

    std::vector<Click> clicks_;
    double thresholdPoints_;
    double timeoutInterval_;
    int minimumTapCount_;
};

}  // namespace orbit
