#include "orbit/Logs/OrbitLogsOTLP.h"

#include "orbit/OrbitVersion.h"
#include "orbit/Utils/BundleInfo.h"

namespace orbit::OrbitLogsOTLP {

nlohmann::json buildPayload(const std::vector<std::shared_ptr<OrbitLogRecord>>& records,
                            const nlohmann::json& resourceAttributes, const std::string& scopeVersion) {
    auto logRecords = nlohmann::json::array();
    for (const auto& record : records)
        if (record) logRecords.push_back({{"body", {{"stringValue", record->body}}}});
    return {{"resourceLogs",
             nlohmann::json::array({{{"resource", {{"attributes", resourceAttributes}}},
                                     {"scopeLogs", nlohmann::json::array({{{"scope", {{"version", scopeVersion}}},
                                                                           {"logRecords", logRecords}}})}}})}};
}

nlohmann::json buildResourceAttributes(const OrbitLogsConfig&) {
    return {{"telemetry.sdk.name", orbitSdkName()},
            {"telemetry.sdk.version", orbitVersion()},
            {"os.name", osName()},
            {"os.version", osVersionString()}};
}

}  // namespace orbit::OrbitLogsOTLP
