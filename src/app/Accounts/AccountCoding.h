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

using Reader = StrictJsonReader<AccountCodingError>;
inline constexpr auto requireObject = &Reader::requireObject;
inline constexpr auto requiredString = &Reader::requiredString;
inline constexpr auto optionalString = &Reader::optionalString;
inline constexpr auto requiredUuid = &Reader::requiredUuid;
inline constexpr auto requiredDate = &Reader::requiredDate;
inline constexpr auto dateFromText = &internetDateToTheSecond;

}  // namespace accountCoding
}  // namespace sablix
