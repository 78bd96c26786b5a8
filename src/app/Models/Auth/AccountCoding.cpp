#include "Models/Auth/AccountCoding.h"

namespace sablix::accountCoding {
namespace {

using nlohmann::json;

// Where the seconds end in every internet date-time.
constexpr size_t kFractionPosition = 19;

[[noreturn]] void fail(const char* key, const std::string& why) {
    throw AccountCodingError("\"" + std::string(key) + "\" " + why);
}

}  // namespace

void requireObject(const json& value, const char* record) {
    if (!value.is_object()) throw AccountCodingError(std::string("the ") + record + " is not a JSON object");
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) fail(key, "is not a string");
    return found->get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) fail(key, "is missing");
    return std::move(*value);
}

platform::Uuid requiredUuid(const json& object, const char* key) {
    auto uuid = platform::Uuid::fromString(requiredString(object, key));
    if (!uuid) fail(key, "is not a UUID");
    return *uuid;
}

platform::Date requiredDate(const json& object, const char* key) {
    auto date = dateFromText(requiredString(object, key));
    if (!date) fail(key, "is not an ISO 8601 date-time to the second");
    return *date;
}

std::optional<platform::Date> dateFromText(const std::string& text) {
    if (text.size() > kFractionPosition && text[kFractionPosition] == '.') return std::nullopt;
    return platform::Date::fromIso8601(text);
}

}  // namespace sablix::accountCoding
