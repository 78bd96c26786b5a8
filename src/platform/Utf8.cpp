#include "platform/Utf8.h"

namespace platform::utf8 {

Sequence decode(std::string_view text, size_t at) {
    if (at >= text.size()) return {};
    const auto byte = [&](size_t k) { return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u; };
    const unsigned lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    // Limiting the second byte's range rules out overlong forms, surrogates and values past
    // U+10FFFF without decoding first.
    size_t length;
    char32_t code;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {};
    }
    for (size_t k = 1; k < length; ++k) {
        const unsigned next = byte(k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return {};
        code = (code << 6) | (next & 0x3F);
    }
    return {code, length};
}

bool isValid(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = decode(text, i).length;
        if (length == 0) return false;
        i += length;
    }
    return true;
}

size_t utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t i = 0; i < text.size();) {
        const Sequence s = decode(text, i);
        units += s.codePoint > 0xFFFF ? 2 : 1;
        i += s.length ? s.length : 1;
    }
    return units;
}

void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string fromLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const unsigned char c : bytes) append(out, c);
    return out;
}

std::string toLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Sequence s = decode(text, i);
        out += s.length && s.codePoint <= 0xFF ? static_cast<char>(s.codePoint) : '?';
        i += s.length ? s.length : 1;
    }
    return out;
}

}  // namespace platform::utf8
