#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 as bytes on the wire and in files: decoding one sequence and the few conversions the
// clipboard, the stores and the engine need. Text rules (characters as the user sees them,
// case, equivalence) are in TextRules.
namespace platform::utf8 {

struct Sequence {
    char32_t codePoint = 0;
    size_t length = 0;  // in bytes; 0 when the bytes are not well-formed UTF-8
};

// The sequence that starts at `at`. Truncated sequences, overlong forms, surrogates and code
// points beyond U+10FFFF are not well-formed.
Sequence decode(std::string_view text, size_t at);

bool isValid(std::string_view text);

// The UTF-16 code units the text takes: two for a code point beyond the Basic Multilingual
// Plane, one for each byte that is not well-formed (it becomes one replacement character).
size_t utf16Length(std::string_view text);

void append(std::string& out, char32_t codePoint);
std::string fromLatin1(std::string_view bytes);
// What Latin-1 cannot hold, and each byte that is not well-formed, becomes '?'.
std::string toLatin1(std::string_view text);

}  // namespace platform::utf8
