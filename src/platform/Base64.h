#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Standard base64 with padding; decoding refuses anything else.
namespace platform {

std::string base64Encode(const uint8_t* bytes, size_t size);
std::string base64Encode(std::string_view bytes);
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);
// For text that was damaged in place (a character replaced, none added or removed): a character
// outside the alphabet counts as zero bits, so only the bytes it falls in change. None when the
// length shows characters were added or lost.
std::optional<std::vector<uint8_t>> base64DecodeLenient(std::string_view text);
std::optional<std::string> base64DecodeString(std::string_view text);

}  // namespace platform
