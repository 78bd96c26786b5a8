#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "orbit/Autocapture/RageClickDetector.h"

namespace {

struct Step {
    double x, y, timestamp;
    bool rage;
    bool resetFirst = false;
};

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// Clicks count while they stay within the time and distance of the newest one; the one that makes
// the count is a rage click and starts it anew; bad numbers never make one.
TEST(RageClickDetectorTest, ClicksCloseInPlaceAndTimeMakeARageClick) {
    const orbit::OrbitRageClickConfig defaults;
    orbit::OrbitRageClickConfig pairs;
    pairs.minimumTapCount = 2;
    pairs.thresholdPoints = 5;
    orbit::OrbitRageClickConfig everyClick;
    everyClick.minimumTapCount = 0;
    const struct {
        const char* name;
        orbit::OrbitRageClickConfig config;
        std::vector<Step> steps;
    } cases[] = {
        {"three at one spot, then the count starts anew",
         defaults,
         {{0, 0, 0, false},
          {1, 1, 0.2, false},
          {2, 0, 0.4, true},
          {2, 0, 0.5, false},
          {2, 0, 0.6, false},
          {2, 0, 0.7, true}}},
        {"exactly at the distance and the time still counts",
         defaults,
         {{0, 0, 0, false}, {0, 0, 0, false}, {18, 24, 1.0, true}}},
        {"too late drops the old ones",
         defaults,
         {{0, 0, 0, false}, {0, 0, 0.5, false}, {0, 0, 1.6, false}, {0, 0, 1.7, false}, {0, 0, 1.8, true}}},
        {"a far click counts alone",
         defaults,
         {{0, 0, 0, false}, {0, 0, 0.1, false}, {100, 100, 0.2, false}, {100, 100, 0.3, false}, {100, 100, 0.4, true}}},
        {"reset forgets",
         defaults,
         {{0, 0, 0, false}, {0, 0, 0.1, false}, {0, 0, 0.2, false, true}, {0, 0, 0.3, false}}},
        {"NaN and infinity count for nothing",
         defaults,
         {{notANumber, 0, 0, false},
          {0, 0, 0.1, false},
          {0, 0, notANumber, false},
          {0, 0, 0.2, false},
          {std::numeric_limits<double>::infinity(), 0, 0.3, false},
          {0, 0, 0.4, false},
          {0, 0, 0.5, false},
          {0, 0, 0.6, true}}},
        {"the configuration's own numbers", pairs, {{0, 0, 0, false}, {6, 0, 0.1, false}, {6, 4, 0.2, true}}},
        {"a count below one makes every click one", everyClick, {{0, 0, 0, true}, {500, 0, 9, true}}},
    };
    for (const auto& c : cases) {
        orbit::RageClickDetector detector(c.config);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const auto& step = c.steps[i];
            if (step.resetFirst) detector.reset();
            EXPECT_EQ(detector.isRageClick(step.x, step.y, step.timestamp), step.rage) << c.name << ", click " << i;
        }
    }
}
