#include "HopLog.h"

#ifndef SABLIX_ITEM_PROBE
#error "The build says whether the probe is on (SABLIX_ITEM_PROBE=0 or 1)"
#endif

namespace sablix {
namespace {

long long microseconds(KeyHops::Time::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

}  // namespace

bool HopLog::enabledInThisBuild() { return SABLIX_ITEM_PROBE; }

void HopLog::expansionPasted(const ExpansionHops& hops) {
    const auto t0 = hops.key.tapped;
    logger_.debug(
        "%s tapped %lld; handling +%lld, handled +%lld, replacing +%lld, erased +%lld, on clipboard +%lld, "
        "pasted +%lld",
        kPrefix, microseconds(t0.time_since_epoch()), microseconds(hops.key.handling - t0),
        microseconds(hops.key.handled - t0), microseconds(hops.replacing - t0), microseconds(hops.erased - t0),
        microseconds(hops.onClipboard - t0), microseconds(hops.pasted - t0));
}

}  // namespace sablix
