#pragma once
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/Logs/OrbitLogsConfig.h"

namespace orbit::OrbitLogsOTLP {

// The logs upload body for one batch: an object whose single top-level key is "resourceLogs".
nlohmann::json buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                            const nlohmann::json& resourceAttributes, const std::string& scopeVersion);

// The attributes of the resource that sends the logs: the client's name and version and the system's.
nlohmann::json buildResourceAttributes(const OrbitLogsConfig& config);

}  // namespace orbit::OrbitLogsOTLP
