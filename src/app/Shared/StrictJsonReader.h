#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// The internet date-time of the backend's records: "2026-01-31T09:30:00Z" or with a
// "+HH:MM"/"-HH:MM" zone, to the second; a fraction of a second is refused.
inline std::optional<platform::Date> internetDateToTheSecond(const std::string& text) {
    constexpr size_t kFractionPosition = 19;  // where the seconds end
    if (text.size() > kFractionPosition && text[kFractionPosition] == '.') return std::nullopt;
    return platform::Date::fromIso8601(text);
}

// Strict readers of the backend's JSON records: every value must have its JSON type (a bool a
// JSON bool, an integer a JSON integer); a missing or null key counts as absent. Each failure
// throws Error with the key at fault.
template <class Error>
struct StrictJsonReader {
    using json = nlohmann::json;

    [[noreturn]] static void fail(const char* key, const std::string& why) {
        throw Error("\"" + std::string(key) + "\" " + why);
    }

    static const json& required(const json& object, const char* key) {
        const auto found = object.find(key);
        if (found == object.end() || found->is_null()) fail(key, "is missing");
        return *found;
    }

    static void requireObject(const json& value, const char* record) {
        if (!value.is_object()) throw Error(std::string("the ") + record + " is not a JSON object");
    }

    static std::optional<std::string> optionalString(const json& object, const char* key) {
        const auto found = object.find(key);
        if (found == object.end() || found->is_null()) return std::nullopt;
        if (!found->is_string()) fail(key, "is not a string");
        return found->template get<std::string>();
    }

    static std::string requiredString(const json& object, const char* key) {
        const json& value = required(object, key);
        if (!value.is_string()) fail(key, "is not a string");
        return value.template get<std::string>();
    }

    static bool requiredBool(const json& object, const char* key) {
        const json& value = required(object, key);
        if (!value.is_boolean()) fail(key, "is not true or false");
        return value.template get<bool>();
    }

    // A fraction, a boolean or a number beyond 64 bits is not an integer.
    static int64_t requiredInteger(const json& object, const char* key) {
        const json& value = required(object, key);
        if (value.is_number_unsigned()) {
            const auto number = value.template get<uint64_t>();
            if (number > static_cast<uint64_t>(INT64_MAX)) fail(key, "is too large");
            return static_cast<int64_t>(number);
        }
        if (!value.is_number_integer()) fail(key, "is not an integer");
        return value.template get<int64_t>();
    }

    static platform::Uuid requiredUuid(const json& object, const char* key) {
        const auto uuid = platform::Uuid::fromString(requiredString(object, key));
        if (!uuid) fail(key, "is not a UUID");
        return *uuid;
    }

    static platform::Date requiredDate(const json& object, const char* key) {
        const auto date = internetDateToTheSecond(requiredString(object, key));
        if (!date) fail(key, "is not an ISO 8601 date-time to the second");
        return *date;
    }
};

}  // namespace sablix
