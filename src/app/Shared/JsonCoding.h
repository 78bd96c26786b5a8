#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Snippets/SnippetItem.h"
#include "platform/Date.h"
#include "platform/Uuid.h"

// Strict JSON readers shared by the snippet record and the sync records. Every reader throws SnippetCodingError naming
// the key at fault; a key that is missing or null counts as absent.
namespace sablix::jsonCoding {

void requireObject(const nlohmann::json& json, const char* record);

std::string requiredString(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
platform::Uuid requiredUuid(const nlohmann::json& object, const char* key);
std::optional<platform::Uuid> optionalUuid(const nlohmann::json& object, const char* key);
platform::Date requiredDate(const nlohmann::json& object, const char* key, DateCoding dates = DateCoding::iso8601);
std::optional<platform::Date> optionalDate(const nlohmann::json& object, const char* key,
                                           DateCoding dates = DateCoding::iso8601);
nlohmann::json encodeDate(platform::Date date, DateCoding dates = DateCoding::iso8601);
std::optional<std::vector<std::string>> optionalStringArray(const nlohmann::json& object, const char* key);
int64_t requiredInteger(const nlohmann::json& object, const char* key);
std::optional<int64_t> optionalInteger(const nlohmann::json& object, const char* key);

// A raw enumeration value, read with one of the *FromRaw functions.
template <class Enum, class FromRaw>
std::optional<Enum> optionalEnum(const nlohmann::json& object, const char* key, FromRaw fromRaw) {
    auto text = optionalString(object, key);
    if (!text) return std::nullopt;
    auto value = fromRaw(*text);
    if (!value) throw SnippetCodingError("\"" + std::string(key) + "\": unknown value \"" + *text + "\"");
    return value;
}

template <class Enum, class FromRaw>
Enum requiredEnum(const nlohmann::json& object, const char* key, FromRaw fromRaw) {
    requiredString(object, key);
    return *optionalEnum<Enum>(object, key, fromRaw);
}

}  // namespace sablix::jsonCoding
