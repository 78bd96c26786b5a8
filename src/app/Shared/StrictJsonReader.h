#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// How a date is written in a record.
enum class DateRule {
    // An ISO 8601 date-time, a fraction of a second allowed.
    iso8601,
    // The internet date-time of the backend's records: "2026-01-31T09:30:00Z" or with a
    // "+HH:MM"/"-HH:MM" zone, to the second; a fraction of a second is refused.
    toTheSecond,
    // A JSON number of seconds since 2001-01-01 00:00:00 UTC.
    secondsSince2001,
};

// A date text read under rule (iso8601 or toTheSecond); none when it breaks the rule.
inline std::optional<platform::Date> dateFromText(const std::string& text, DateRule rule) {
    constexpr size_t kFractionPosition = 19;  // where the seconds end
    if (rule == DateRule::toTheSecond && text.size() > kFractionPosition && text[kFractionPosition] == '.')
        return std::nullopt;
    return platform::Date::fromIso8601(text);
}

// The words of a reader's failures. Each message is the quoted key, `afterKey`, then the reason.
struct JsonReaderWording {
    const char* afterKey;
    const char* notObjectPrefix;  // before the record's name
    const char* notObjectSuffix;  // after it
    const char* missing;
    const char* notString;
    const char* notBool;
    const char* notInteger;
    const char* tooLarge;
    const char* notNumber;
    const char* notUuid;
    const char* notDate;
    const char* notDateToTheSecond;
    const char* notArray;
    const char* notStringElement;
    const char* unknownValue;  // followed by the quoted value
};

// The backend's team, account and referral records: `"seatsUsed" is not an integer`.
inline constexpr JsonReaderWording kRecordWording{
    " ",
    "the ",
    " is not a JSON object",
    "is missing",
    "is not a string",
    "is not true or false",
    "is not an integer",
    "is too large",
    "is not a number",
    "is not a UUID",
    "is not an ISO 8601 date",
    "is not an ISO 8601 date-time to the second",
    "is not a list",
    "holds a value that is not a string",
    "has the unknown value",
};

// The snippet records and the sync protocol: `"id": not a valid UUID`.
inline constexpr JsonReaderWording kSnippetWording{
    ": ",
    "a ",
    " must be a JSON object",
    "missing",
    "not a string",
    "not true or false",
    "not an integer",
    "out of range",
    "not a number",
    "not a valid UUID",
    "not an ISO 8601 date",
    "not an ISO 8601 date-time to the second",
    "not an array",
    "holds a value that is not a string",
    "unknown value",
};

// The strict reader of JSON records from the backend and from disk: every value must have its
// JSON type (a bool a JSON bool, an integer a JSON integer: a fraction, a boolean or a number
// beyond 64 bits is not one); a missing or null key counts as absent. Each failure throws Error
// with the key at fault, in the given wording.
template <class Error, const JsonReaderWording& words>
struct StrictJsonReader {
    using json = nlohmann::json;

    [[noreturn]] static void fail(const char* key, const std::string& why) {
        throw Error("\"" + std::string(key) + "\"" + words.afterKey + why);
    }

    static void requireObject(const json& value, const char* record) {
        if (!value.is_object()) throw Error(words.notObjectPrefix + std::string(record) + words.notObjectSuffix);
    }

    // The value under key; none when it is missing or null.
    static const json* present(const json& object, const char* key) {
        const auto found = object.find(key);
        if (found == object.end() || found->is_null()) return nullptr;
        return &*found;
    }

    static const json& required(const json& object, const char* key) {
        const json* value = present(object, key);
        if (!value) fail(key, words.missing);
        return *value;
    }

    static std::optional<std::string> optionalString(const json& object, const char* key) {
        const json* value = present(object, key);
        if (!value) return std::nullopt;
        if (!value->is_string()) fail(key, words.notString);
        return value->template get<std::string>();
    }

    static std::string requiredString(const json& object, const char* key) {
        required(object, key);
        return *optionalString(object, key);
    }

    static bool requiredBool(const json& object, const char* key) {
        const json& value = required(object, key);
        if (!value.is_boolean()) fail(key, words.notBool);
        return value.template get<bool>();
    }

    static std::optional<int64_t> optionalInteger(const json& object, const char* key) {
        const json* value = present(object, key);
        if (!value) return std::nullopt;
        if (!value->is_number_integer()) fail(key, words.notInteger);
        if (value->is_number_unsigned() && value->template get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            fail(key, words.tooLarge);
        return value->template get<int64_t>();
    }

    static int64_t requiredInteger(const json& object, const char* key) {
        required(object, key);
        return *optionalInteger(object, key);
    }

    static std::optional<platform::Uuid> optionalUuid(const json& object, const char* key) {
        const auto text = optionalString(object, key);
        if (!text) return std::nullopt;
        const auto uuid = platform::Uuid::fromString(*text);
        if (!uuid) fail(key, words.notUuid);
        return uuid;
    }

    static platform::Uuid requiredUuid(const json& object, const char* key) {
        required(object, key);
        return *optionalUuid(object, key);
    }

    static std::optional<platform::Date> optionalDate(const json& object, const char* key, DateRule rule) {
        if (rule == DateRule::secondsSince2001) {
            const json* value = present(object, key);
            if (!value) return std::nullopt;
            if (!value->is_number()) fail(key, words.notNumber);
            return platform::Date{value->template get<double>()};
        }
        const auto text = optionalString(object, key);
        if (!text) return std::nullopt;
        const auto date = dateFromText(*text, rule);
        if (!date) fail(key, rule == DateRule::toTheSecond ? words.notDateToTheSecond : words.notDate);
        return date;
    }

    static platform::Date requiredDate(const json& object, const char* key, DateRule rule) {
        required(object, key);
        return *optionalDate(object, key, rule);
    }

    static std::optional<std::vector<std::string>> optionalStringArray(const json& object, const char* key) {
        const json* value = present(object, key);
        if (!value) return std::nullopt;
        if (!value->is_array()) fail(key, words.notArray);
        std::vector<std::string> out;
        out.reserve(value->size());
        for (const auto& element : *value) {
            if (!element.is_string()) fail(key, words.notStringElement);
            out.push_back(element.template get<std::string>());
        }
        return out;
    }

    // A raw enumeration value, read with one of the *FromRaw functions.
    template <class FromRaw>
    static auto optionalEnum(const json& object, const char* key, FromRaw fromRaw) -> decltype(fromRaw(std::string())) {
        const auto text = optionalString(object, key);
        if (!text) return std::nullopt;
        auto value = fromRaw(*text);
        if (!value) fail(key, std::string(words.unknownValue) + " \"" + *text + "\"");
        return value;
    }

    template <class FromRaw>
    static auto requiredEnum(const json& object, const char* key, FromRaw fromRaw) {
        required(object, key);
        return *optionalEnum(object, key, fromRaw);
    }

    // The array under key, each element decoded with Record::fromJson; one element that fails
    // fails it all.
    template <class Record>
    static std::vector<Record> requiredList(const json& object, const char* key) {
        const json& value = required(object, key);
        if (!value.is_array()) fail(key, words.notArray);
        std::vector<Record> records;
        records.reserve(value.size());
        for (const auto& element : value) records.push_back(Record::fromJson(element));
        return records;
    }
};

}  // namespace sablix
