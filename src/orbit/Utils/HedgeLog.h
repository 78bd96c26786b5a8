#pragma once
#include <functional>
#include <string>

namespace orbit {

// The client's debug log: one line "[Orbit] " + message on standard output, only while it is on.
// The switch may be flipped from any thread while others log.
void hedgeLog(const std::string& message);
void toggleHedgeLog(bool enabled);
bool isHedgeLogEnabled();

// Where the lines go instead of standard output; an empty sink restores it. Tests capture here.
using HedgeLogSink = std::function<void(const std::string& line)>;
void setHedgeLogSink(HedgeLogSink sink);

}  // namespace orbit
