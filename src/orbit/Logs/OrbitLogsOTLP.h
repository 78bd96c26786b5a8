#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/Logs/OrbitLogsConfig.h"
#include "orbit/OrbitHost.h"

namespace orbit::OrbitLogsOTLP {

inline constexpr const char* scopeName = "orbit-ios";
// Lists and maps nested deeper than this are sent as their JSON text: each level takes four levels
// of the payload, which the JSON writer limits.
inline constexpr int kMaxAnyValueDepth = 64;

// The logs upload body for one batch (an OTLP/JSON ExportLogsServiceRequest): one resource, one
// scope, the records in queue order.
nlohmann::json buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                            const nlohmann::json& resourceAttributes, const std::string& scopeVersion);

// The resource's attributes as a plain object: the configured ones, then the service, the
// client's name and version and the system's, which win over configured ones of the same name.
nlohmann::json buildResourceAttributes(const OrbitLogsConfig& config, const OrbitApplicationInfo& application);

nlohmann::json buildLogRecord(const OrbitLogRecord& record);

// {"key", "value"} pairs in key order, leaving out nulls and values that have no AnyValue.
nlohmann::json toKeyValueList(const nlohmann::json& object, int depth = 0);

// The OTLP AnyValue of a JSON value; nothing for null. Integers are decimal text under
// "intValue"; NaN and the infinities are the texts "NaN", "Infinity" and "-Infinity".
std::optional<nlohmann::json> toAnyValue(const nlohmann::json& value, int depth = 0);

}  // namespace orbit::OrbitLogsOTLP
