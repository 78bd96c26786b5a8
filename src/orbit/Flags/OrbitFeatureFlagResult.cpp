#include "orbit/Flags/OrbitFeatureFlagResult.h"

#include "orbit/Utils/HedgeLog.h"

namespace orbit {

std::optional<OrbitFeatureFlagResult> OrbitFeatureFlagResult::make(const std::string& key,
                                                                   const std::optional<nlohmann::json>& value,
                                                                   const std::optional<nlohmann::json>& storedPayload) {
    if (!value) return std::nullopt;

    std::optional<nlohmann::json> payload;
    if (storedPayload && storedPayload->is_string()) {
        const auto& text = storedPayload->get_ref<const std::string&>();
        std::string error;
        payload = readJSON(text, &error);
        if (!payload) {
            hedgeLog("Error parsing the object " + text + ": " + error);
            payload = *storedPayload;
        }
    } else {
        payload = storedPayload;
    }

    if (value->is_string()) return OrbitFeatureFlagResult(key, true, value->get<std::string>(), std::move(payload));
    if (value->is_boolean()) return OrbitFeatureFlagResult(key, value->get<bool>(), std::nullopt, std::move(payload));
    return OrbitFeatureFlagResult(key, false, std::nullopt, std::move(payload));
}

}  // namespace orbit
