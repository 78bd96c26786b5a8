#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The text rules of the snippet model, on UTF-8 strings: length in user-perceived characters,
// Unicode default lower-casing independent of locale, canonical equivalence for equality and for
// prefix and substring tests, trimming of white space and line breaks.
namespace platform::text {

size_t length(std::string_view s);                          // extended grapheme clusters
bool hasAtLeast(std::string_view s, size_t characters);     // length(s) >= characters, counting no further
std::string prefix(std::string_view s, size_t characters);  // the first N grapheme clusters
std::string lowercased(std::string_view s);
std::string trimmed(std::string_view s);
// The text without the leading and trailing code points for which isTrimmed answers true.
std::string_view trimmedWhere(std::string_view s, bool (*isTrimmed)(int32_t codePoint));
std::string nfc(std::string_view s);

bool equal(std::string_view a, std::string_view b);
bool hasPrefix(std::string_view s, std::string_view prefix);
bool contains(std::string_view s, std::string_view part);

bool isAscii(std::string_view s);

}  // namespace platform::text
