#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace orbit {

enum class OrbitLogSeverity { trace = 0, debug = 1, info = 2, warn = 3, error = 4, fatal = 5 };

inline constexpr std::array<OrbitLogSeverity, 6> allOrbitLogSeverities{
    OrbitLogSeverity::trace, OrbitLogSeverity::debug, OrbitLogSeverity::info,
    OrbitLogSeverity::warn,  OrbitLogSeverity::error, OrbitLogSeverity::fatal};

// "trace" … "fatal".
std::string_view name(OrbitLogSeverity severity);
// Nothing for a value outside 0 to 5.
std::optional<OrbitLogSeverity> orbitLogSeverity(int rawValue);
// The severity of that name, ignoring case and surrounding white space: "WARN\n" is warn, "warning" none.
std::optional<OrbitLogSeverity> orbitLogSeverityFrom(std::string_view name);

// One application log line on its way to the logs queue. The capture sets the application state
// and both times; hooks may edit every other field.
class OrbitLogRecord {
public:
    OrbitLogRecord(std::string body, OrbitLogSeverity level, nlohmann::json attributes,
                   std::optional<std::string> traceId, std::optional<std::string> spanId,
                   std::optional<int64_t> traceFlags, std::string timeUnixNano, std::string observedTimeUnixNano,
                   std::optional<std::string> distinctId, std::optional<std::string> sessionId,
                   std::optional<std::string> screenName, std::optional<std::string> appState,
                   std::vector<std::string> featureFlagKeys);

    std::string body;
    OrbitLogSeverity level;
    nlohmann::json attributes;  // an object
    std::optional<std::string> traceId;
    std::optional<std::string> spanId;
    std::optional<int64_t> traceFlags;
    std::optional<std::string> distinctId;
    std::optional<std::string> sessionId;
    std::optional<std::string> screenName;
    std::vector<std::string> featureFlagKeys;

    const std::optional<std::string>& appState() const { return appState_; }
    // Decimal nanoseconds since 1970.
    const std::string& timeUnixNano() const { return timeUnixNano_; }
    const std::string& observedTimeUnixNano() const { return observedTimeUnixNano_; }

    // The record's file in the logs queue, keys named after its fields.
    nlohmann::json toStorageJSON() const;
    // Nothing when the dictionary has no string "body", or when a time it holds as text is not
    // decimal nanoseconds (logged); any other field that is missing or of the wrong kind falls
    // back to its default.
    static std::shared_ptr<OrbitLogRecord> fromStorageJSON(const nlohmann::json& dictionary);

private:
    std::optional<std::string> appState_;
    std::string timeUnixNano_;
    std::string observedTimeUnixNano_;
};

}  // namespace orbit
