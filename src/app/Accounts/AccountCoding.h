#pragma once
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "Shared/StrictJsonReader.h"

namespace sablix {

// An account record that does not decode; the message names the key at fault.
class AccountCodingError : public std::runtime_error {
public:
    explicit AccountCodingError(const std::string& detail)
        : std::runtime_error("The account data could not be read: " + detail) {}
};

// Strict readers of the account records; each throws AccountCodingError.
namespace accountCoding {

using Reader = StrictJsonReader<AccountCodingError, kRecordWording>;
inline constexpr auto requireObject = &Reader::requireObject;
inline constexpr auto requiredString = &Reader::requiredString;
inline constexpr auto optionalString = &Reader::optionalString;
inline constexpr auto requiredUuid = &Reader::requiredUuid;
// An internet date-time to the second with a zone designator; a fraction of a second fails.
inline platform::Date requiredDate(const nlohmann::json& object, const char* key) {
    return Reader::requiredDate(object, key, DateRule::toTheSecond);
}
inline std::optional<platform::Date> dateFromText(const std::string& text) {
    return sablix::dateFromText(text, DateRule::toTheSecond);
}

}  // namespace accountCoding
}  // namespace sablix
