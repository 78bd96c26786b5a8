#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "orbit/Utils/Clock.h"

namespace orbit {

// The client's dates on the wire and on disk: "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC on the
// Gregorian calendar with ASCII digits, whatever the process's time zone and locale. The
// fraction is cut, not rounded, to milliseconds.
std::string toISO8601String(OrbitDate date);

// Reads the millisecond form, then the whole-second form "yyyy-MM-dd'T'HH:mm:ss'Z'"; nothing
// for any other text.
std::optional<OrbitDate> toISO8601Date(std::string_view text);

}  // namespace orbit
