#include "Models/Teams/TeamCoding.h"

#include "Models/Auth/AccountCoding.h"

namespace sablix::teamCoding {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* key, const std::string& why) {
    throw TeamCodingError("\"" + std::string(key) + "\" " + why);
}

const json& required(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) fail(key, "is missing");
    return *found;
}

}  // namespace

void requireObject(const json& value, const char* record) {
    if (!value.is_object()) throw TeamCodingError(std::string("the ") + record + " is not a JSON object");
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) fail(key, "is not a string");
    return found->get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    const json& value = required(object, key);
    if (!value.is_string()) fail(key, "is not a string");
    return value.get<std::string>();
}

bool requiredBool(const json& object, const char* key) {
    const json& value = required(object, key);
    if (!value.is_boolean()) fail(key, "is not true or false");
    return value.get<bool>();
}

int64_t requiredInteger(const json& object, const char* key) {
    const json& value = required(object, key);
    if (value.is_number_unsigned()) {
        const auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(INT64_MAX)) fail(key, "is too large");
        return static_cast<int64_t>(number);
    }
    if (!value.is_number_integer()) fail(key, "is not an integer");
    return value.get<int64_t>();
}

platform::Uuid requiredUuid(const json& object, const char* key) {
    const auto uuid = platform::Uuid::fromString(requiredString(object, key));
    if (!uuid) fail(key, "is not a UUID");
    return *uuid;
}

platform::Date requiredDate(const json& object, const char* key) {
    // The account records travel with the same date form; one reading of it serves both.
    const auto date = accountCoding::dateFromText(requiredString(object, key));
    if (!date) fail(key, "is not an ISO 8601 date-time to the second");
    return *date;
}

}  // namespace sablix::teamCoding
