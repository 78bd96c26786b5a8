#include "posix/LogText.h"

#include <cstdint>
#include <cstdio>

namespace posix {
namespace {

uint8_t byteAt(std::string_view text, size_t at) { return at < text.size() ? static_cast<uint8_t>(text[at]) : 0; }

// How many bytes at `at` make one control character: 0 for none.
size_t controlAt(std::string_view text, size_t at) {
    const uint8_t byte = byteAt(text, at);
    if (byte < 0x20 || byte == 0x7F) return 1;
    // U+0080 to U+009F.
    if (byte == 0xC2 && byteAt(text, at + 1) >= 0x80 && byteAt(text, at + 1) <= 0x9F) return 2;
    // U+2028 and U+2029, which some viewers take for line ends.
    if (byte == 0xE2 && byteAt(text, at + 1) == 0x80 && (byteAt(text, at + 2) == 0xA8 || byteAt(text, at + 2) == 0xA9))
        return 3;
    return 0;
}

}  // namespace

std::string escapedForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '\\') {
            out += "\\\\";
            ++at;
            continue;
        }
        const size_t control = controlAt(text, at);
        if (control == 0) {
            out += text[at++];
            continue;
        }
        for (size_t end = at + control; at < end; ++at) {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02X", byteAt(text, at));
            out += code;
        }
    }
    return out;
}

}  // namespace posix
