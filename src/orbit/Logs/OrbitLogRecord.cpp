#include "orbit/Logs/OrbitLogRecord.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "orbit/Logs/LogText.h"
#include "orbit/Utils/Clock.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {
namespace {

constexpr std::array<std::string_view, 6> kNames{"trace", "debug", "info", "warn", "error", "fatal"};

std::optional<std::string> optionalText(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<int64_t> optionalInteger(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    if (found == json.end()) return std::nullopt;
    if (found->is_number_integer()) return found->get<int64_t>();
    if (found->is_number_float()) {
        const double value = found->get<double>();
        // Out of range, the conversion would be undefined.
        if (!(value > -9.2e18 && value < 9.2e18)) return std::nullopt;
        return static_cast<int64_t>(value);
    }
    return std::nullopt;
}

// Nanoseconds since 1970 as OTLP/JSON carries them: the decimal text of an unsigned 64-bit number.
bool isNanosText(std::string_view text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

void putIfSet(nlohmann::json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

}  // namespace

std::string_view name(OrbitLogSeverity severity) {
    const auto index = static_cast<size_t>(severity);
    return index < kNames.size() ? kNames[index] : "info";
}

std::optional<OrbitLogSeverity> orbitLogSeverity(int rawValue) {
    if (rawValue < 0 || rawValue > 5) return std::nullopt;
    return static_cast<OrbitLogSeverity>(rawValue);
}

std::optional<OrbitLogSeverity> orbitLogSeverityFrom(std::string_view text) {
    std::string lowered(trimmedLogText(text));
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto severity : allOrbitLogSeverities)
        if (name(severity) == lowered) return severity;
    return std::nullopt;
}

OrbitLogRecord::OrbitLogRecord(std::string body, OrbitLogSeverity level, nlohmann::json attributes,
                               std::optional<std::string> traceId, std::optional<std::string> spanId,
                               std::optional<int64_t> traceFlags, std::string timeUnixNano,
                               std::string observedTimeUnixNano, std::optional<std::string> distinctId,
                               std::optional<std::string> sessionId, std::optional<std::string> screenName,
                               std::optional<std::string> appState, std::vector<std::string> featureFlagKeys)
    : body(std::move(body)),
      level(level),
      attributes(attributes.is_object() ? std::move(attributes) : nlohmann::json::object()),
      traceId(std::move(traceId)),
      spanId(std::move(spanId)),
      traceFlags(traceFlags),
      distinctId(std::move(distinctId)),
      sessionId(std::move(sessionId)),
      screenName(std::move(screenName)),
      featureFlagKeys(std::move(featureFlagKeys)),
      appState_(std::move(appState)),
      timeUnixNano_(std::move(timeUnixNano)),
      observedTimeUnixNano_(std::move(observedTimeUnixNano)) {}

nlohmann::json OrbitLogRecord::toStorageJSON() const {
    nlohmann::json json = {{"body", validUtf8Text(body)},
                           {"level", name(level)},
                           {"timeUnixNano", timeUnixNano_},
                           {"observedTimeUnixNano", observedTimeUnixNano_},
                           {"featureFlagKeys", featureFlagKeys}};
    if (attributes.is_object() && !attributes.empty())
        json["attributes"] = sanitizeDictionary(attributes).value_or(nlohmann::json::object());
    putIfSet(json, "traceId", traceId);
    putIfSet(json, "spanId", spanId);
    if (traceFlags) json["traceFlags"] = *traceFlags;
    putIfSet(json, "distinctId", distinctId);
    putIfSet(json, "sessionId", sessionId);
    putIfSet(json, "screenName", screenName);
    putIfSet(json, "appState", appState_);
    return json;
}

std::shared_ptr<OrbitLogRecord> OrbitLogRecord::fromStorageJSON(const nlohmann::json& json) {
    if (!json.is_object()) return nullptr;
    auto body = optionalText(json, "body");
    if (!body) return nullptr;
    const auto levelName = optionalText(json, "level");
    const auto level = levelName ? orbitLogSeverityFrom(*levelName) : std::nullopt;
    const auto attributes = json.find("attributes");
    auto time = optionalText(json, "timeUnixNano").value_or(nanosNow());
    auto observed = optionalText(json, "observedTimeUnixNano").value_or(time);
    // A collector refuses the whole batch for one time it cannot read: such a record, edited on
    // disk or left by another writer, is dropped alone.
    if (!isNanosText(time) || !isNanosText(observed)) {
        hedgeLog("Dropping a stored log record whose time is not decimal nanoseconds");
        return nullptr;
    }
    std::vector<std::string> keys;
    if (const auto found = json.find("featureFlagKeys"); found != json.end() && found->is_array()) {
        const bool allText = std::all_of(found->begin(), found->end(), [](const auto& key) { return key.is_string(); });
        if (allText) keys = found->get<std::vector<std::string>>();
    }
    return std::make_shared<OrbitLogRecord>(
        std::move(*body), level.value_or(OrbitLogSeverity::info),
        attributes != json.end() && attributes->is_object() ? *attributes : nlohmann::json::object(),
        optionalText(json, "traceId"), optionalText(json, "spanId"), optionalInteger(json, "traceFlags"),
        std::move(time), std::move(observed), optionalText(json, "distinctId"), optionalText(json, "sessionId"),
        optionalText(json, "screenName"), optionalText(json, "appState"), std::move(keys));
}

}  // namespace orbit
