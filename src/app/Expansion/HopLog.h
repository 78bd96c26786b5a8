#pragma once
#include "KeyHops.h"
#include "platform/Log.h"

namespace sablix {

// Writes the stamps of every expansion as one debug line of the engine's log, for the latency
// benchmark to show where an expansion's time goes. Only builds with the probe take the stamps.
class HopLog final : public HopObserver {
public:
    // Followed by: "tapped <µs since the epoch>; handling +<µs after tapped>, handled +…,
    // replacing +…, erased +…, on clipboard +…, pasted +…".
    static constexpr const char* kPrefix = "Expansion hops:";
    static bool enabledInThisBuild();

    void expansionPasted(const ExpansionHops& hops) override;

private:
    platform::Log logger_ = platform::appLog("TextReplacer");
};

}  // namespace sablix
