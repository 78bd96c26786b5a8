#include "Models/SyncRecordCoding.h"

#include <algorithm>
#include <cstdint>

namespace sablix::syncCoding {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* key, const std::string& why) {
    throw SnippetCodingError("\"" + std::string(key) + "\": " + why);
}

const json* present(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Digit(char c) {
    const auto at = kBase64Alphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

void requireObject(const json& value, const char* record) {
    if (!value.is_object()) throw SnippetCodingError(std::string("a ") + record + " must be a JSON object");
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->is_string()) fail(key, "not a string");
    return v->get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) fail(key, "missing");
    return *value;
}

std::optional<platform::Uuid> optionalUuid(const json& object, const char* key) {
    auto text = optionalString(object, key);
    if (!text) return std::nullopt;
    auto uuid = platform::Uuid::fromString(*text);
    if (!uuid) fail(key, "not a valid UUID");
    return uuid;
}

platform::Uuid requiredUuid(const json& object, const char* key) {
    requiredString(object, key);
    return *optionalUuid(object, key);
}

std::optional<platform::Date> optionalDate(const json& object, const char* key) {
    auto text = optionalString(object, key);
    if (!text) return std::nullopt;
    auto date = platform::Date::fromIso8601(*text);
    if (!date) fail(key, "not an ISO 8601 date");
    return date;
}

platform::Date requiredDate(const json& object, const char* key) {
    requiredString(object, key);
    return *optionalDate(object, key);
}

std::optional<int64_t> optionalInteger(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->is_number_integer()) fail(key, "not an integer");
    if (v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) fail(key, "out of range");
    return v->get<int64_t>();
}

int64_t requiredInteger(const json& object, const char* key) {
    auto value = optionalInteger(object, key);
    if (!value) fail(key, "missing");
    return *value;
}

std::string base64Encoded(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t chunk = 0;
        for (size_t k = 0; k < 3; ++k)
            chunk = (chunk << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kBase64Alphabet[(chunk >> (18 - 6 * k)) & 0x3f] : '=';
    }
    return out;
}

std::optional<std::string> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = 0;
        uint32_t chunk = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++padding;
                chunk <<= 6;
                continue;
            }
            const int digit = base64Digit(c);
            if (digit < 0 || padding > 0) return std::nullopt;
            chunk = (chunk << 6) | static_cast<uint32_t>(digit);
        }
        out += static_cast<char>((chunk >> 16) & 0xff);
        if (padding < 2) out += static_cast<char>((chunk >> 8) & 0xff);
        if (padding < 1) out += static_cast<char>(chunk & 0xff);
    }
    return out;
}

}  // namespace sablix::syncCoding
