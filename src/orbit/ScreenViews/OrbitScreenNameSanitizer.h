#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace orbit {

// The name a screen is reported by: generic wrappers of declarative-UI hosting stripped from the
// raw title; nothing when no name remains.
namespace OrbitScreenNameSanitizer {
std::optional<std::string> sanitize(std::string_view rawScreenName);
}

}  // namespace orbit
