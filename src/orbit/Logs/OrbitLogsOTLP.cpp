#include "orbit/Logs/OrbitLogsOTLP.h"

#include <cmath>
#include <limits>

#include "orbit/Logs/LogText.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/BundleInfo.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit::OrbitLogsOTLP {
namespace {

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

nlohmann::json stringValue(std::string text) { return {{"stringValue", validUtf8Text(std::move(text))}}; }

nlohmann::json doubleAnyValue(double value) {
    if (std::isnan(value)) return stringValue("NaN");
    if (std::isinf(value)) return stringValue(value > 0 ? "Infinity" : "-Infinity");
    return {{"doubleValue", value}};
}

std::optional<nlohmann::json> compositeAnyValue(const nlohmann::json& value, int depth) {
    if (depth >= kMaxAnyValueDepth)
        return stringValue(writeJSON(value, nullptr, InvalidUtf8::replace).value_or(std::string()));
    if (value.is_array()) {
        auto values = nlohmann::json::array();
        for (const auto& element : value)
            if (auto converted = toAnyValue(element, depth + 1)) values.push_back(std::move(*converted));
        return nlohmann::json{{"arrayValue", {{"values", std::move(values)}}}};
    }
    return nlohmann::json{{"kvlistValue", {{"values", toKeyValueList(value, depth + 1)}}}};
}

}  // namespace

std::optional<nlohmann::json> toAnyValue(const nlohmann::json& value, int depth) {
    switch (value.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded: return std::nullopt;
    case nlohmann::json::value_t::string: return stringValue(value.get<std::string>());
    case nlohmann::json::value_t::boolean: return nlohmann::json{{"boolValue", value.get<bool>()}};
    case nlohmann::json::value_t::number_integer:
        return nlohmann::json{{"intValue", std::to_string(value.get<int64_t>())}};
    case nlohmann::json::value_t::number_unsigned: {
        // intValue is a signed 64-bit number, and a collector refuses the batch for one beyond
        // it: such a value goes as its exact text.
        const auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return stringValue(std::to_string(number));
        return nlohmann::json{{"intValue", std::to_string(number)}};
    }
    case nlohmann::json::value_t::number_float: return doubleAnyValue(value.get<double>());
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object: return compositeAnyValue(value, depth);
    case nlohmann::json::value_t::binary: break;
    }
    return stringValue(writeJSON(value, nullptr, InvalidUtf8::replace).value_or(std::string()));
}

nlohmann::json toKeyValueList(const nlohmann::json& object, int depth) {
    auto list = nlohmann::json::array();
    if (!object.is_object()) return list;
    // The object's keys are already in ascending byte order.
    for (const auto& [key, value] : object.items())
        if (auto converted = toAnyValue(value, depth))
            list.push_back({{"key", validUtf8Text(key)}, {"value", std::move(*converted)}});
    return list;
}

nlohmann::json buildLogRecord(const OrbitLogRecord& record) {
    nlohmann::json merged = nlohmann::json::object();
    if (record.distinctId) merged["orbitDistinctId"] = *record.distinctId;
    if (record.sessionId) merged["sessionId"] = *record.sessionId;
    if (record.screenName) merged["screen.name"] = *record.screenName;
    if (record.appState()) merged["app.state"] = *record.appState();
    if (!record.featureFlagKeys.empty()) merged["feature_flags"] = record.featureFlagKeys;
    if (record.attributes.is_object())
        for (const auto& [key, value] : record.attributes.items()) merged[key] = value;

    nlohmann::json log = {{"timeUnixNano", record.timeUnixNano()},
                          {"observedTimeUnixNano", record.observedTimeUnixNano()},
                          {"severityNumber", severityNumber(record.level)},
                          {"severityText", name(record.level)},
                          {"body", stringValue(record.body)}};
    if (!merged.empty()) log["attributes"] = toKeyValueList(merged);
    // A collector refuses the whole batch for one malformed id; a record stored by an older
    // client, or edited on disk, goes without it instead.
    if (record.traceId && isHexId(*record.traceId, 32)) log["traceId"] = *record.traceId;
    if (record.spanId && isHexId(*record.spanId, 16)) log["spanId"] = *record.spanId;
    if (record.traceFlags) log["flags"] = static_cast<uint32_t>(*record.traceFlags);
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
