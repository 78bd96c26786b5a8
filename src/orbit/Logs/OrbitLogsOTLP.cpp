#include "orbit/Logs/OrbitLogsOTLP.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <string_view>
#include <variant>

#include "orbit/Logs/LogText.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/BundleInfo.h"
#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/Utf8.h"

namespace orbit::OrbitLogsOTLP {
namespace {

using Json = nlohmann::json;

int severityNumber(OrbitLogSeverity level) {
    switch (level) {
    case OrbitLogSeverity::trace: return 1;
    case OrbitLogSeverity::debug: return 5;
    case OrbitLogSeverity::info: return 9;
    case OrbitLogSeverity::warn: return 13;
    case OrbitLogSeverity::error: return 17;
    case OrbitLogSeverity::fatal: return 21;
    }
    return 9;
}

// The JSON writer's escaping of valid UTF-8: the quote, the backslash and control characters;
// every other byte as it is.
void appendEscaped(std::string_view text, std::string& out) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    out.append(text, plain);
    out += '"';
}

void appendString(std::string_view text, std::string& out) {
    if (isValidUtf8(text))
        appendEscaped(text, out);
    else
        appendEscaped(validUtf8Text(std::string(text)), out);
}

template <typename Integer>
void appendInteger(Integer value, std::string& out) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void appendStringValue(std::string_view text, std::string& out) {
    out += "{\"stringValue\":";
    appendString(text, out);
    out += '}';
}

void appendDoubleAnyValue(double value, std::string& out) {
    if (std::isnan(value)) return appendStringValue("NaN", out);
    if (std::isinf(value)) return appendStringValue(value > 0 ? "Infinity" : "-Infinity", out);
    out += "{\"doubleValue\":";
    // The JSON writer's shortest round-trip form ("2.5", "1e+20", "3.0").
    out += Json(value).dump();
    out += '}';
}

// Lists and maps too deep for the payload go as their JSON text.
void appendAsText(const Json& value, std::string& out) {
    appendStringValue(writeJSON(value, nullptr, InvalidUtf8::replace).value_or(std::string()), out);
}

void appendCompositeAnyValue(const Json& value, std::string& out, int depth) {
    if (depth >= kMaxAnyValueDepth) return appendAsText(value, out);
    if (value.is_array()) {
        out += "{\"arrayValue\":{\"values\":[";
        bool first = true;
        for (const auto& element : value) {
            const size_t mark = out.size();
            if (!first) out += ',';
            if (toAnyValue(element, out, depth + 1))
                first = false;
            else
                out.resize(mark);
        }
        out += "]}}";
        return;
    }
    out += "{\"kvlistValue\":{\"values\":";
    toKeyValueList(value, out, depth + 1);
    out += "}}";
}

// One {"key", "value"} pair after `separator`; nothing at all when the value has no AnyValue.
template <typename WriteValue>
bool appendKeyValue(std::string_view key, bool separator, std::string& out, WriteValue writeValue) {
    const size_t mark = out.size();
    if (separator) out += ',';
    out += "{\"key\":";
    appendString(key, out);
    out += ",\"value\":";
    if (!writeValue()) {
        out.resize(mark);
        return false;
    }
    out += '}';
    return true;
}

// Keys that are not UTF-8 are written repaired, and repaired keys can meet ("k\xff" and "k\xfe"
// both become "k\uFFFD"): a list of such keys is written from the entries by their repaired keys,
// in ascending order, a later entry replacing an earlier one as for any repeated key.
template <typename Entries>
bool keysAreUtf8(const Entries& entries) {
    return std::all_of(entries.begin(), entries.end(), [](const auto& entry) { return isValidUtf8(entry.first); });
}

template <typename Entries, typename Project>
auto byRepairedKeys(const Entries& entries, Project project) {
    std::map<std::string, decltype(project(entries.begin()->second))> repaired;
    for (const auto& [key, value] : entries) repaired.insert_or_assign(validUtf8Text(std::string(key)), project(value));
    return repaired;
}

// A built-in attribute of the record, or one of the user's.
using AttributeValue = std::variant<const std::string*, const std::vector<std::string>*, const Json*>;

bool appendAttributeValue(const AttributeValue& value, std::string& out) {
    if (const auto* text = std::get_if<const std::string*>(&value)) {
        appendStringValue(**text, out);
        return true;
    }
    if (const auto* list = std::get_if<const std::vector<std::string>*>(&value)) {
        out += "{\"arrayValue\":{\"values\":[";
        for (size_t i = 0; i < (*list)->size(); ++i) {
            if (i > 0) out += ',';
            appendStringValue((**list)[i], out);
        }
        out += "]}}";
        return true;
    }
    return toAnyValue(*std::get<const Json*>(value), out);
}

}  // namespace

bool toAnyValue(const nlohmann::json& value, std::string& out, int depth) {
    switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded: return false;
    case Json::value_t::string: appendStringValue(value.get_ref<const std::string&>(), out); return true;
    case Json::value_t::boolean:
        out += value.get<bool>() ? "{\"boolValue\":true}" : "{\"boolValue\":false}";
        return true;
    case Json::value_t::number_integer:
        out += "{\"intValue\":\"";
        appendInteger(value.get<int64_t>(), out);
        out += "\"}";
        return true;
    case Json::value_t::number_unsigned: {
        // intValue is a signed 64-bit number, and a collector refuses the batch for one beyond
        // it: such a value goes as its exact text.
        const auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            appendStringValue(std::to_string(number), out);
        } else {
            out += "{\"intValue\":\"";
            appendInteger(number, out);
            out += "\"}";
        }
        return true;
    }
    case Json::value_t::number_float: appendDoubleAnyValue(value.get<double>(), out); return true;
    case Json::value_t::array:
    case Json::value_t::object: appendCompositeAnyValue(value, out, depth); return true;
    case Json::value_t::binary: break;
    }
    appendAsText(value, out);
    return true;
}

void toKeyValueList(const nlohmann::json& object, std::string& out, int depth) {
    out += '[';
    bool separator = false;
    const auto append = [&](std::string_view key, const Json& value) {
        separator |= appendKeyValue(key, separator, out, [&] { return toAnyValue(value, out, depth); });
    };
    if (object.is_object()) {
        // The object's keys are already in ascending byte order.
        const auto& members = object.get_ref<const Json::object_t&>();
        if (keysAreUtf8(members))
            for (const auto& [key, value] : members) append(key, value);
        else
            for (const auto& [key, value] : byRepairedKeys(members, [](const Json& v) { return &v; }))
                append(key, *value);
    }
    out += ']';
}

void buildLogRecord(const OrbitLogRecord& record, std::string& out) {
    // The built-in attributes, then the user's, which replace built-ins of the same name; pointers,
    // so that no value is copied before it is written.
    std::map<std::string_view, AttributeValue> merged;
    if (record.distinctId) merged["orbitDistinctId"] = &*record.distinctId;
    if (record.sessionId) merged["sessionId"] = &*record.sessionId;
    if (record.screenName) merged["screen.name"] = &*record.screenName;
    if (record.appState()) merged["app.state"] = &*record.appState();
    if (!record.featureFlagKeys.empty()) merged["feature_flags"] = &record.featureFlagKeys;
    if (record.attributes.is_object())
        for (const auto& [key, value] : record.attributes.get_ref<const Json::object_t&>()) merged[key] = &value;

    // Members in ascending key order, as the JSON writer puts them.
    out += '{';
    if (!merged.empty()) {
        out += "\"attributes\":[";
        bool separator = false;
        const auto append = [&](std::string_view key, const AttributeValue& value) {
            separator |= appendKeyValue(key, separator, out, [&] { return appendAttributeValue(value, out); });
        };
        if (keysAreUtf8(merged))
            for (const auto& [key, value] : merged) append(key, value);
        else
            for (const auto& [key, value] : byRepairedKeys(merged, [](const AttributeValue& v) { return v; }))
                append(key, value);
        out += "],";
    }
    out += "\"body\":";
    appendStringValue(record.body, out);
    if (record.traceFlags) {
        out += ",\"flags\":";
        appendInteger(static_cast<uint32_t>(*record.traceFlags), out);
    }
    out += ",\"observedTimeUnixNano\":";
    appendString(record.observedTimeUnixNano(), out);
    out += ",\"severityNumber\":";
    appendInteger(severityNumber(record.level), out);
    out += ",\"severityText\":";
    appendString(name(record.level), out);
    // A collector refuses the whole batch for one malformed id; a record stored by an older
    // client, or edited on disk, goes without it instead.
    if (record.spanId && isHexId(*record.spanId, 16)) {
        out += ",\"spanId\":";
        appendEscaped(*record.spanId, out);
    }
    out += ",\"timeUnixNano\":";
    appendString(record.timeUnixNano(), out);
    if (record.traceId && isHexId(*record.traceId, 32)) {
        out += ",\"traceId\":";
        appendEscaped(*record.traceId, out);
    }
    out += '}';
}

std::string buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                         const nlohmann::json& resourceAttributes, const std::string& scopeVersion) {
    constexpr size_t kBytesPerRecord = 1024;
    std::string out;
    out.reserve(512 + kBytesPerRecord * records.size());
    out += "{\"resourceLogs\":[{\"resource\":{\"attributes\":";
    toKeyValueList(resourceAttributes, out);
    out += "},\"scopeLogs\":[{\"logRecords\":[";
    bool separator = false;
    for (const auto& record : records) {
        if (!record) continue;
        if (separator) out += ',';
        buildLogRecord(*record, out);
        separator = true;
    }
    out += "],\"scope\":{\"name\":";
    appendEscaped(scopeName, out);
    out += ",\"version\":";
    appendString(scopeVersion, out);
    out += "}}]}]}";
    return out;
}

nlohmann::json buildResourceAttributes(const OrbitLogsConfig& config, const OrbitApplicationInfo& application) {
    nlohmann::json attributes =
        config.resourceAttributes.is_object() ? config.resourceAttributes : nlohmann::json::object();
    attributes["service.name"] = config.serviceName.value_or(bundleIdentifier(application, config.unknownServiceName));
    const auto version = config.serviceVersion ? config.serviceVersion : appVersionString(application);
    if (version && !version->empty()) attributes["service.version"] = *version;
    if (config.environment) attributes["deployment.environment"] = *config.environment;
    attributes["telemetry.sdk.name"] = orbitSdkName();
    attributes["telemetry.sdk.version"] = orbitVersion();
    attributes["os.name"] = osName();
    attributes["os.version"] = osVersionString();
    return attributes;
}

}  // namespace orbit::OrbitLogsOTLP
