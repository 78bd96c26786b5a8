#include "Shared/JsonCoding.h"

#include <cstdint>

namespace sablix::jsonCoding {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* key, const std::string& why) {
    throw SnippetCodingError("\"" + std::string(key) + "\": " + why);
}

const json* present(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

}  // namespace

void requireObject(const json& value, const char* record) {
    if (!value.is_object()) throw SnippetCodingError(std::string("a ") + record + " must be a JSON object");
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->is_string()) fail(key, "not a string");
    return v->get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) fail(key, "missing");
    return *value;
}

std::optional<platform::Uuid> optionalUuid(const json& object, const char* key) {
    auto text = optionalString(object, key);
    if (!text) return std::nullopt;
    auto uuid = platform::Uuid::fromString(*text);
    if (!uuid) fail(key, "not a valid UUID");
    return uuid;
}

platform::Uuid requiredUuid(const json& object, const char* key) {
    requiredString(object, key);
    return *optionalUuid(object, key);
}

std::optional<platform::Date> optionalDate(const json& object, const char* key, DateCoding dates) {
    if (dates == DateCoding::secondsSince2001) {
        const json* v = present(object, key);
        if (!v) return std::nullopt;
        if (!v->is_number()) fail(key, "not a number");
        return platform::Date{v->get<double>()};
    }
    auto text = optionalString(object, key);
    if (!text) return std::nullopt;
    auto date = platform::Date::fromIso8601(*text);
    if (!date) fail(key, "not an ISO 8601 date");
    return date;
}

platform::Date requiredDate(const json& object, const char* key, DateCoding dates) {
    auto date = optionalDate(object, key, dates);
    if (!date) fail(key, "missing");
    return *date;
}

json encodeDate(platform::Date date, DateCoding dates) {
    if (dates == DateCoding::iso8601) return date.iso8601();
    return date.secondsSince2001;
}

std::optional<std::vector<std::string>> optionalStringArray(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->is_array()) fail(key, "not an array");
    std::vector<std::string> out;
    out.reserve(v->size());
    for (const auto& element : *v) {
        if (!element.is_string()) fail(key, "holds a value that is not a string");
        out.push_back(element.get<std::string>());
    }
    return out;
}

std::optional<int64_t> optionalInteger(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    if (!v->is_number_integer()) fail(key, "not an integer");
    if (v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) fail(key, "out of range");
    return v->get<int64_t>();
}

int64_t requiredInteger(const json& object, const char* key) {
    auto value = optionalInteger(object, key);
    if (!value) fail(key, "missing");
    return *value;
}

}  // namespace sablix::jsonCoding
