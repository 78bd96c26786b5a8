#include "orbit/Utils/JSONUtils.h"

#include <cmath>
#include <utility>
#include <vector>

#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/Utf8.h"

namespace orbit {
namespace {

// The first reason the writer would refuse value, or nothing. Walks without recursion, so that
// a value too deep to write is also safe to check.
std::optional<std::string> unwritable(const nlohmann::json& value, InvalidUtf8 invalidUtf8 = InvalidUtf8::refuse) {
    const bool checkText = invalidUtf8 == InvalidUtf8::refuse;
    std::vector<std::pair<const nlohmann::json*, size_t>> pending{{&value, 0}};
    while (!pending.empty()) {
        const auto [item, depth] = pending.back();
        pending.pop_back();
        switch (item->type()) {
        case nlohmann::json::value_t::number_float:
            if (!std::isfinite(item->get<double>())) return "Invalid number value (" + item->dump() + ") in JSON write";
            break;
        case nlohmann::json::value_t::string:
            if (checkText && !isValidUtf8(item->get_ref<const std::string&>()))
                return "Text that is not UTF-8 in JSON write";
            break;
        case nlohmann::json::value_t::binary: return "Binary data in JSON write";
        case nlohmann::json::value_t::array:
        case nlohmann::json::value_t::object:
            if (depth >= kMaxJSONDepth) return "Too many nested arrays or dictionaries in JSON write";
            if (item->is_object())
                for (const auto& [key, member] : item->items()) {
                    if (checkText && !isValidUtf8(key)) return "A key that is not UTF-8 in JSON write";
                    pending.emplace_back(&member, depth + 1);
                }
            else
                for (const auto& member : *item) pending.emplace_back(&member, depth + 1);
            break;
        default: break;
        }
    }
    return std::nullopt;
}

// The deepest nesting of arrays and objects in the text, counted without parsing.
size_t nestingDepth(std::string_view bytes) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : bytes) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<std::string> writeJSON(const nlohmann::json& value, std::string* error, InvalidUtf8 invalidUtf8) {
    if (auto reason = unwritable(value, invalidUtf8)) {
        if (error) *error = std::move(*reason);
        return std::nullopt;
    }
    try {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

std::optional<nlohmann::json> readJSON(std::string_view bytes, std::string* error) {
    if (nestingDepth(bytes) > kMaxJSONDepth) {
        if (error) *error = "Too many nested arrays or dictionaries in JSON text";
        return std::nullopt;
    }
    try {
        return nlohmann::json::parse(bytes);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

bool isValidObject(const nlohmann::json& value) { return !unwritable(value); }

std::optional<nlohmann::json> sanitizeDictionary(const std::optional<nlohmann::json>& dictionary) {
    if (!dictionary || !dictionary->is_object() || dictionary->empty()) return std::nullopt;
    auto copy = nlohmann::json::object();
    for (const auto& [key, value] : dictionary->items()) {
        if (isValidUtf8(key) && isValidObject(value))
            copy[key] = value;
        else
            hedgeLog("property: " + key + " isn't serializable, dropping the item");
    }
    return copy;
}

std::optional<std::string> toJSONData(const std::optional<nlohmann::json>& dictionary) {
    const auto sanitized = sanitizeDictionary(dictionary);
    if (!sanitized) return std::nullopt;
    std::string error;
    auto data = writeJSON(*sanitized, &error);
    if (!data) hedgeLog("Failed to serialize dictionary to JSON: " + error);
    return data;
}

std::optional<nlohmann::json> fromJSONData(std::string_view bytes) {
    auto value = readJSON(bytes);
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

}  // namespace orbit
