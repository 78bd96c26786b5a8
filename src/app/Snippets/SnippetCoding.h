#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "Shared/StrictJsonReader.h"
#include "Snippets/SnippetItem.h"

// Strict readers of the snippet record and the sync records; each throws SnippetCodingError naming
// the key at fault.
namespace sablix::snippetCoding {

using Reader = StrictJsonReader<SnippetCodingError, kSnippetWording>;
inline constexpr auto requireObject = &Reader::requireObject;
inline constexpr auto requiredString = &Reader::requiredString;
inline constexpr auto optionalString = &Reader::optionalString;
inline constexpr auto requiredUuid = &Reader::requiredUuid;
inline constexpr auto optionalUuid = &Reader::optionalUuid;
inline constexpr auto optionalStringArray = &Reader::optionalStringArray;
inline constexpr auto requiredInteger = &Reader::requiredInteger;
inline constexpr auto optionalInteger = &Reader::optionalInteger;

constexpr DateRule dateRule(DateCoding dates) {
    return dates == DateCoding::iso8601 ? DateRule::iso8601 : DateRule::secondsSince2001;
}

inline std::optional<platform::Date> optionalDate(const nlohmann::json& object, const char* key,
                                                  DateCoding dates = DateCoding::iso8601) {
    return Reader::optionalDate(object, key, dateRule(dates));
}

inline platform::Date requiredDate(const nlohmann::json& object, const char* key,
                                   DateCoding dates = DateCoding::iso8601) {
    return Reader::requiredDate(object, key, dateRule(dates));
}

inline nlohmann::json encodeDate(platform::Date date, DateCoding dates = DateCoding::iso8601) {
    if (dates == DateCoding::iso8601) return date.iso8601();
    return date.secondsSince2001;
}

template <class Enum, class FromRaw>
std::optional<Enum> optionalEnum(const nlohmann::json& object, const char* key, FromRaw fromRaw) {
    return Reader::optionalEnum(object, key, fromRaw);
}

template <class Enum, class FromRaw>
Enum requiredEnum(const nlohmann::json& object, const char* key, FromRaw fromRaw) {
    return Reader::requiredEnum(object, key, fromRaw);
}

}  // namespace sablix::snippetCoding
