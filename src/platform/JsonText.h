#pragma once
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

// The bytes of `value.dump()` (compact, UTF-8 kept as it is, invalid UTF-8 thrown as
// nlohmann::json::type_error), written faster: the library is megabytes of text written at every
// save, and the JSON writer examines each character of it through a UTF-8 state machine, while
// almost every string needs no escaping and is copied as it is here. A string that does need it
// is written by the JSON writer itself.
std::string compactJson(const nlohmann::json& value);

}  // namespace platform
