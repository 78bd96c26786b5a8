#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orbit {

// "0x" and 16 lower-case hexadecimal digits: the form of every frame and image address.
std::string formattedAddress(uint64_t address);

// 32 hexadecimal digits (dashes and case aside) as upper-case 8-4-4-4-12; any other text unchanged.
std::string formattedAsUUID(std::string_view text);

// The architecture name of a Mach CPU type and subtype; none for a type not in the table.
std::optional<std::string> architectureName(uint64_t cpuType, uint64_t cpuSubtype);

// Text from outside (an exception's message, a symbol) made fit for a JSON string: each byte that
// is not part of well-formed UTF-8 becomes U+FFFD.
std::string validUtf8(std::string_view text);

}  // namespace orbit
