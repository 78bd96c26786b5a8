#include "orbit/Utils/BundleInfo.h"

#include <charconv>
#include <cstdint>

#include "posix/OsRelease.h"

namespace orbit {

std::optional<std::string> appVersionString(const OrbitApplicationInfo& info) { return info.version; }

nlohmann::json parseBundleVersion(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    // from_chars takes a "-" itself but no "+", and no second sign after the first.
    if (digits.empty() || digits.front() == '+' || (digits.front() == '-' && text.front() == '+'))
        return std::string(text);
    int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 10);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::string(text);
    return value;
}

std::string osVersionString() { return posix::osVersionString(); }

std::string osName() { return "Linux"; }

std::string bundleIdentifier(const OrbitApplicationInfo& info, const std::string& fallback) {
    return info.identifier && !info.identifier->empty() ? *info.identifier : fallback;
}

}  // namespace orbit
