#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/StrictJsonReader.h"

namespace sablix {

// A team, member or invitation record that does not decode; the message names the key at fault.
class TeamCodingError : public std::runtime_error {
public:
    explicit TeamCodingError(const std::string& detail)
        : std::runtime_error("The team data could not be read: " + detail) {}
};

// Strict readers of the team records: every value must have its JSON type (a bool a JSON bool, an
// integer a JSON integer); an optional key may be absent or null. Each throws TeamCodingError.
namespace teamCoding {

using Reader = StrictJsonReader<TeamCodingError, kRecordWording>;
inline constexpr auto requireObject = &Reader::requireObject;
inline constexpr auto requiredString = &Reader::requiredString;
inline constexpr auto optionalString = &Reader::optionalString;
inline constexpr auto requiredBool = &Reader::requiredBool;
inline constexpr auto requiredInteger = &Reader::requiredInteger;
inline constexpr auto requiredUuid = &Reader::requiredUuid;

// An internet date-time to the second with a zone designator; a fraction of a second fails.
inline platform::Date requiredDate(const nlohmann::json& object, const char* key) {
    return Reader::requiredDate(object, key, DateRule::toTheSecond);
}

// The required raw value of an enumeration, read with one of the *FromRaw functions.
template <class FromRaw>
auto requiredEnum(const nlohmann::json& object, const char* key, FromRaw fromRaw) {
    return Reader::requiredEnum(object, key, fromRaw);
}

// The array under key, each element decoded with Record::fromJson; one element that fails fails it all.
template <class Record>
std::vector<Record> requiredList(const nlohmann::json& object, const char* key) {
    return Reader::requiredList<Record>(object, key);
}

}  // namespace teamCoding
}  // namespace sablix
