#pragma once
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/Logs/OrbitLogRecord.h"

namespace orbit::OrbitLogsOTLP {

// The logs upload body for one batch: an object whose single top-level key is "resourceLogs".
nlohmann::json buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                            const nlohmann::json& resourceAttributes, const std::string& scopeVersion);

}  // namespace orbit::OrbitLogsOTLP
