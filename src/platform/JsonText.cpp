#include "platform/JsonText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/Utf8.h"

namespace platform {
namespace {

using nlohmann::json;

constexpr uint64_t kEachByte = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

// Whether one of the eight bytes may need a look of its own: a byte below 0x20, a quotation mark,
// a backslash or a byte of a multi-byte sequence. Never false when one does.
bool mayNeedLook(uint64_t bytes) {
    const auto below = [&](uint64_t v, uint64_t n) { return (v - kEachByte * n) & ~v; };
    return ((bytes | below(bytes, 0x20) | below(bytes ^ (kEachByte * '"'), 1) | below(bytes ^ (kEachByte * '\\'), 1)) &
            kHighBits) != 0;
}

// Escaped as the JSON writer escapes (UTF-8 kept as it is). Text that is not well-formed UTF-8 goes
// to the JSON writer itself, which refuses it.
void appendString(std::string& out, const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const size_t start = out.size();
    const char* p = text.data();
    const size_t size = text.size();
    bool ascii = true;
    out += '"';
    size_t copied = 0;
    for (size_t i = 0; i < size;) {
        if (i + 8 <= size) {
            uint64_t eight;
            std::memcpy(&eight, p + i, 8);
            if (!mayNeedLook(eight)) {
                i += 8;
                continue;
            }
        }
        const auto byte = static_cast<unsigned char>(p[i++]);
        if (byte >= 0x80) ascii = false;
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(p + copied, i - 1 - copied);
        copied = i;
        switch (byte) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
            out.append(escaped, sizeof escaped);
        }
        }
    }
    out.append(p + copied, size - copied);
    out += '"';
    if (!ascii && !utf8::isValid(text)) {
        out.resize(start);
        out += json(text).dump();
    }
}

void append(std::string& out, const json& value) {
    switch (value.type()) {
    case json::value_t::object: {
        out += '{';
        bool first = true;
        for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
            if (!first) out += ',';
            first = false;
            appendString(out, key);
            out += ':';
            append(out, member);
        }
        out += '}';
        return;
    }
    case json::value_t::array: {
        out += '[';
        bool first = true;
        for (const auto& element : value.get_ref<const json::array_t&>()) {
            if (!first) out += ',';
            first = false;
            append(out, element);
        }
        out += ']';
        return;
    }
    case json::value_t::string: appendString(out, value.get_ref<const std::string&>()); return;
    case json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
    case json::value_t::null: out += "null"; return;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: {
        std::array<char, 24> digits;
        const auto end = value.is_number_unsigned()
                             ? std::to_chars(digits.begin(), digits.end(), value.get<uint64_t>()).ptr
                             : std::to_chars(digits.begin(), digits.end(), value.get<int64_t>()).ptr;
        out.append(digits.data(), static_cast<size_t>(end - digits.data()));
        return;
    }
    case json::value_t::number_float: {
        const double x = value.get<double>();
        if (!std::isfinite(x)) {
            out += "null";
            return;
        }
        // The JSON writer's own shortest form, "1.0" for a whole number included.
        std::array<char, 64> digits;
        const char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), x);
        out.append(digits.data(), static_cast<size_t>(end - digits.data()));
        return;
    }
    default: out += value.dump(); return;
    }
}

}  // namespace

std::string compactJson(const nlohmann::json& value) {
    std::string out;
    append(out, value);
    return out;
}

void appendCompactJson(std::string& out, const nlohmann::json& value) { append(out, value); }

void appendJsonString(std::string& out, const std::string& text) { appendString(out, text); }

}  // namespace platform
