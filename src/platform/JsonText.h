#pragma once
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

// The bytes of `value.dump()` (compact, UTF-8 kept as it is, text that is not UTF-8 thrown as
// nlohmann::json::type_error), written faster: the library is megabytes of text written at every
// save, and the JSON writer passes each character of it through a UTF-8 state machine, while
// here text is checked once and copied, or escaped by the writer's own rules.
std::string compactJson(const nlohmann::json& value);
// Appends the same bytes to `out`.
void appendCompactJson(std::string& out, const nlohmann::json& value);
// Appends the bytes of `nlohmann::json(text).dump()`, for writers that build no JSON value.
void appendJsonString(std::string& out, const std::string& text);

}  // namespace platform
