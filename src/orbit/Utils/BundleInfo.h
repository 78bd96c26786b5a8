#pragma once
#include <string>
#include <string_view>
#include <optional>

#include <nlohmann/json.hpp>

#include "orbit/OrbitHost.h"

namespace orbit {

// The program's short version, when it gave one.
std::optional<std::string> appVersionString(const OrbitApplicationInfo& info);

// A whole base-10 number (an optional "+" or "-" first) that fits 64 signed bits as that integer;
// any other text unchanged. "42" → 42, "1.2.3" → "1.2.3", "" → "".
nlohmann::json parseBundleVersion(std::string_view text);

// "major.minor.patch" of the running system.
std::string osVersionString();
std::string osName();

// The program's identifier, or fallback when it has none (or an empty one).
std::string bundleIdentifier(const OrbitApplicationInfo& info, const std::string& fallback);

}  // namespace orbit
