#pragma once
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// An account record that does not decode; the message names the key at fault.
class AccountCodingError : public std::runtime_error {
public:
    explicit AccountCodingError(const std::string& detail)
        : std::runtime_error("The account data could not be read: " + detail) {}
};

// Strict readers of the account records: every value must have its JSON type; null counts as
// absent. Each throws AccountCodingError.
namespace accountCoding {

void requireObject(const nlohmann::json& value, const char* record);
std::string requiredString(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
platform::Uuid requiredUuid(const nlohmann::json& object, const char* key);
platform::Date requiredDate(const nlohmann::json& object, const char* key);

// The internet date-time form: "2026-01-31T09:30:00Z" or with a "+HH:MM"/"-HH:MM" zone, to the
// second; a fraction of a second is refused.
std::optional<platform::Date> dateFromText(const std::string& text);

}  // namespace accountCoding
}  // namespace sablix
