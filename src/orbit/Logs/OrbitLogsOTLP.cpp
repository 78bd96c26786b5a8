#include "orbit/Logs/OrbitLogsOTLP.h"

#include <cmath>
#include <limits>
#include <map>
#include <string_view>

#include "orbit/Logs/LogText.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/BundleInfo.h"
#include "orbit/Utils/JSONUtils.h"

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

// One-member objects built in place: a payload holds thousands, and initializer lists copy.
Json member(const char* key, Json value) {
    Json object(Json::value_t::object);
    object.get_ref<Json::object_t&>().emplace(key, std::move(value));
    return object;
}

Json stringValue(std::string text) { return member("stringValue", validUtf8Text(std::move(text))); }

Json doubleAnyValue(double value) {
    if (std::isnan(value)) return stringValue("NaN");
    if (std::isinf(value)) return stringValue(value > 0 ? "Infinity" : "-Infinity");
    return member("doubleValue", value);
}

Json keyValue(std::string key, Json value) {
    Json pair(Json::value_t::object);
    auto& object = pair.get_ref<Json::object_t&>();
    object.emplace("key", validUtf8Text(std::move(key)));
    object.emplace("value", std::move(value));
    return pair;
}

std::optional<Json> compositeAnyValue(const Json& value, int depth) {
    if (depth >= kMaxAnyValueDepth)
        return stringValue(writeJSON(value, nullptr, InvalidUtf8::replace).value_or(std::string()));
    if (value.is_array()) {
        Json values(Json::value_t::array);
        auto& list = values.get_ref<Json::array_t&>();
        list.reserve(value.size());
        for (const auto& element : value)
            if (auto converted = toAnyValue(element, depth + 1)) list.push_back(std::move(*converted));
        return member("arrayValue", member("values", std::move(values)));
    }
    return member("kvlistValue", member("values", toKeyValueList(value, depth + 1)));
}

}  // namespace

std::optional<nlohmann::json> toAnyValue(const nlohmann::json& value, int depth) {
    switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded: return std::nullopt;
    case Json::value_t::string: return stringValue(value.get_ref<const std::string&>());
    case Json::value_t::boolean: return member("boolValue", value.get<bool>());
    case Json::value_t::number_integer: return member("intValue", std::to_string(value.get<int64_t>()));
    case Json::value_t::number_unsigned: {
        // intValue is a signed 64-bit number, and a collector refuses the batch for one beyond
        // it: such a value goes as its exact text.
        const auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return stringValue(std::to_string(number));
        return member("intValue", std::to_string(number));
    }
    case Json::value_t::number_float: return doubleAnyValue(value.get<double>());
    case Json::value_t::array:
    case Json::value_t::object: return compositeAnyValue(value, depth);
    case Json::value_t::binary: break;
    }
    return stringValue(writeJSON(value, nullptr, InvalidUtf8::replace).value_or(std::string()));
}

nlohmann::json toKeyValueList(const nlohmann::json& object, int depth) {
    Json list(Json::value_t::array);
    if (!object.is_object()) return list;
    auto& pairs = list.get_ref<Json::array_t&>();
    pairs.reserve(object.size());
    // The object's keys are already in ascending byte order.
    for (const auto& [key, value] : object.get_ref<const Json::object_t&>())
        if (auto converted = toAnyValue(value, depth)) pairs.push_back(keyValue(key, std::move(*converted)));
    return list;
}

nlohmann::json buildLogRecord(const OrbitLogRecord& record) {
    // The built-in attributes, then the user's, which replace built-ins of the same name; pointers,
    // so that no value is copied before it is converted.
    std::map<std::string_view, const Json*> merged;
    Json builtIns(Json::value_t::object);
    auto& builtIn = builtIns.get_ref<Json::object_t&>();
    if (record.distinctId) builtIn.emplace("orbitDistinctId", *record.distinctId);
    if (record.sessionId) builtIn.emplace("sessionId", *record.sessionId);
    if (record.screenName) builtIn.emplace("screen.name", *record.screenName);
    if (record.appState()) builtIn.emplace("app.state", *record.appState());
    if (!record.featureFlagKeys.empty()) builtIn.emplace("feature_flags", record.featureFlagKeys);
    for (const auto& [key, value] : builtIn) merged[key] = &value;
    if (record.attributes.is_object())
        for (const auto& [key, value] : record.attributes.get_ref<const Json::object_t&>()) merged[key] = &value;

    Json log(Json::value_t::object);
    auto& fields = log.get_ref<Json::object_t&>();
    fields.emplace("timeUnixNano", record.timeUnixNano());
    fields.emplace("observedTimeUnixNano", record.observedTimeUnixNano());
    fields.emplace("severityNumber", severityNumber(record.level));
    fields.emplace("severityText", name(record.level));
    fields.emplace("body", stringValue(record.body));
    if (!merged.empty()) {
        Json attributes(Json::value_t::array);
        auto& pairs = attributes.get_ref<Json::array_t&>();
        pairs.reserve(merged.size());
        for (const auto& [key, value] : merged)
            if (auto converted = toAnyValue(*value)) pairs.push_back(keyValue(std::string(key), std::move(*converted)));
        fields.emplace("attributes", std::move(attributes));
    }
    // A collector refuses the whole batch for one malformed id; a record stored by an older
    // client, or edited on disk, goes without it instead.
    if (record.traceId && isHexId(*record.traceId, 32)) fields.emplace("traceId", *record.traceId);
    if (record.spanId && isHexId(*record.spanId, 16)) fields.emplace("spanId", *record.spanId);
    if (record.traceFlags) fields.emplace("flags", static_cast<uint32_t>(*record.traceFlags));
    return log;
}

nlohmann::json buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                            const nlohmann::json& resourceAttributes, const std::string& scopeVersion) {
    auto logRecords = nlohmann::json::array();
    for (const auto& record : records)
        if (record) logRecords.push_back(buildLogRecord(*record));
    nlohmann::json scopeLogs = {{"scope", {{"name", scopeName}, {"version", scopeVersion}}},
                                {"logRecords", std::move(logRecords)}};
    nlohmann::json resourceLogs = {{"resource", {{"attributes", toKeyValueList(resourceAttributes)}}},
                                   {"scopeLogs", nlohmann::json::array({std::move(scopeLogs)})}};
    return {{"resourceLogs", nlohmann::json::array({std::move(resourceLogs)})}};
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
