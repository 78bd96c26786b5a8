#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace orbit {

// Deeper documents are refused when read and when written: copying, writing and comparing a
// JSON value recurse once per level, and a stack has room for only so many.
inline constexpr size_t kMaxJSONDepth = 512;

// What the writer does with text that is not UTF-8: refuse the value, or write U+FFFD in place of
// each bad byte sequence.
enum class InvalidUtf8 { refuse, replace };

// The client's JSON writer: the text of value, or nothing (and the reason in error) when it holds
// something JSON cannot carry: a NaN or infinite number, text that is not UTF-8 (unless replaced),
// or more than kMaxJSONDepth levels.
std::optional<std::string> writeJSON(const nlohmann::json& value, std::string* error = nullptr,
                                     InvalidUtf8 invalidUtf8 = InvalidUtf8::refuse);

// The client's JSON reader: any JSON value at the top level, or nothing (and the reason in error).
std::optional<nlohmann::json> readJSON(std::string_view bytes, std::string* error = nullptr);

// Whether the writer accepts value.
bool isValidObject(const nlohmann::json& value);

// A copy of a dictionary without the top-level entries the writer would refuse, each dropped
// entry logged; nothing for an absent, empty or non-object input.
std::optional<nlohmann::json> sanitizeDictionary(const std::optional<nlohmann::json>& dictionary);

// The JSON text of the sanitised dictionary; nothing when that is absent or cannot be written.
std::optional<std::string> toJSONData(const std::optional<nlohmann::json>& dictionary);

// The top-level object of the bytes; nothing when they are not JSON or not an object.
std::optional<nlohmann::json> fromJSONData(std::string_view bytes);

}  // namespace orbit
