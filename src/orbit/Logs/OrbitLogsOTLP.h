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

// The logs upload body for one batch (an OTLP/JSON ExportLogsServiceRequest) as JSON text: one
// resource, one scope, the records in queue order. Written directly rather than as a JSON value
// and then dumped: a batch holds thousands of small objects, and building them cost more than
// writing their text.
std::string buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                         const nlohmann::json& resourceAttributes, const std::string& scopeVersion);

// The resource's attributes as a plain object: the configured ones, then the service, the
// client's name and version and the system's, which win over configured ones of the same name.
nlohmann::json buildResourceAttributes(const OrbitLogsConfig& config, const OrbitApplicationInfo& application);

// Each appends the JSON text of its part of the payload to `out`. Text that is not UTF-8 is
// written with U+FFFD for each bad sequence.
void buildLogRecord(const OrbitLogRecord& record, std::string& out);

// {"key", "value"} pairs in key order, leaving out nulls and values that have no AnyValue.
void toKeyValueList(const nlohmann::json& object, std::string& out, int depth = 0);

// The OTLP AnyValue of a JSON value; nothing written, and false, for null. Integers are decimal
// text under "intValue"; NaN and the infinities are the texts "NaN", "Infinity" and "-Infinity".
bool toAnyValue(const nlohmann::json& value, std::string& out, int depth = 0);

}  // namespace orbit::OrbitLogsOTLP
