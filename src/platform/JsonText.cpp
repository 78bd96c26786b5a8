#include "platform/JsonText.h"

#include <array>
#include <charconv>
#include <cmath>

#include "platform/Utf8.h"

namespace platform {
namespace {

using nlohmann::json;

// Whether the JSON writer would copy the text unchanged: no character it escapes, well-formed UTF-8.
bool copiedAsIs(const std::string& text) {
    bool ascii = true;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == '"' || byte == '\\' || byte == 0x7F) return false;
        ascii = ascii && byte < 0x80;
    }
    return ascii || utf8::isValid(text);
}

void appendString(std::string& out, const std::string& text) {
    if (!copiedAsIs(text)) {
        out += json(text).dump();
        return;
    }
    out += '"';
    out += text;
    out += '"';
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

}  // namespace platform
