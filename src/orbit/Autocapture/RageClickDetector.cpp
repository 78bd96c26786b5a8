#include "orbit/Autocapture/RageClickDetector.h"

#include <algorithm>
#include <cmath>

namespace orbit {

RageClickDetector::RageClickDetector(const OrbitRageClickConfig& config)
    : thresholdPoints_(config.thresholdPoints),
      timeoutInterval_(config.timeoutInterval),
      minimumTapCount_(config.minimumTapCount) {}

bool RageClickDetector::isRageClick(double x, double y, double timestamp) {
    // Written as what is kept, so that a NaN anywhere drops the click instead of keeping it for ever.
    std::erase_if(clicks_, [&](const Click& click) {
        const bool recent = timestamp - click.timestamp <= timeoutInterval_;
        const bool near = std::hypot(x - click.posX, y - click.posY) <= thresholdPoints_;
        return !(recent && near);
    });
    clicks_.push_back({x, y, timestamp});
    // The list never grows past the count: reaching it clears the list.
    if (static_cast<long>(clicks_.size()) < std::max(minimumTapCount_, 1)) return false;
    clicks_.clear();
    return true;
}

void RageClickDetector::reset() { clicks_.clear(); }

}  // namespace orbit
