#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"

#include <cctype>
#include <cstdio>

#include "orbit/Utils/Utf8.h"

namespace orbit {
namespace {

constexpr uint64_t kCpuTypeArm = 12;
constexpr uint64_t kCpuTypeX86_64 = 0x01000007;
constexpr uint64_t kCpuTypeArm64 = 0x0100000c;
constexpr uint64_t kCpuSubtypeArmV7 = 9;
constexpr uint64_t kCpuSubtypeArmV7s = 11;

size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

}  // namespace

std::string formattedAddress(uint64_t address) {
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(address));
    return text;
}

std::string formattedAsUUID(std::string_view text) {
    std::string digits;
    for (const char c : text)
        if (c != '-') digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (digits.size() != 32) return std::string(text);
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" + digits.substr(16, 4) +
           "-" + digits.substr(20);
}

std::optional<std::string> architectureName(uint64_t cpuType, uint64_t cpuSubtype) {
    switch (cpuType) {
    case kCpuTypeArm:
        if (cpuSubtype == kCpuSubtypeArmV7) return "armv7";
        if (cpuSubtype == kCpuSubtypeArmV7s) return "armv7s";
        return "arm";
    case kCpuTypeX86_64: return "x86_64";
    case kCpuTypeArm64: return "arm64";
    default: return std::nullopt;
    }
}

std::string validUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    std::string result;
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = sequenceLength(static_cast<unsigned char>(text[i]));
        if (length != 0 && i + length <= text.size() && isValidUtf8(text.substr(i, length))) {
            result.append(text.substr(i, length));
            i += length;
        } else {
            result += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return result;
}

}  // namespace orbit
