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
std::optional<std::string> base64DecodeString(std::string_view text);

}  // namespace platform
