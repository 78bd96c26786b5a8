#pragma once
#include <string>
#include <string_view>

namespace orbit {

// The text without leading and trailing blanks and line breaks.
std::string_view trimmedLogText(std::string_view text);
inline bool isBlankLogText(std::string_view text) { return trimmedLogText(text).empty(); }

// The text itself when it is UTF-8, else with U+FFFD for each bad sequence: the JSON writer
// refuses text that is not UTF-8, and a record would be lost for it.
std::string validUtf8Text(std::string text);

// OTLP/JSON ids: a trace id is 32 hexadecimal digits, a span id 16.
bool isHexId(std::string_view text, size_t digits);

}  // namespace orbit
