// Feature flags at the client's entry point: reading, reporting reads, targeting properties.
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/OrbitSDK.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {
namespace {

using Json = nlohmann::json;

// Two values are the same report when both are absent, both Booleans of one truth value, or both
// the same text; anything else (numbers included) is a different one.
bool sameFlagValue(const std::optional<Json>& a, const std::optional<Json>& b) {
    if (!a || !b) return !a && !b;
    if (a->is_boolean() && b->is_boolean()) return a->get<bool>() == b->get<bool>();
    if (a->is_string() && b->is_string()) return a->get_ref<const std::string&>() == b->get_ref<const std::string&>();
    return false;
}

std::optional<Json> flagValue(const std::optional<OrbitFeatureFlagResult>& result) {
    if (!result) return std::nullopt;
    if (result->variant()) return Json(*result->variant());
    return Json(result->enabled());
}

// The member of an object, or a null value when it is missing.
Json memberOrNull(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? Json(nullptr) : *found;
}

}  // namespace

std::optional<OrbitFeatureFlagResult> OrbitSDK::featureFlagResult(const std::string& key,
                                                                  std::optional<bool> sendEvent) {
    if (!isSetUp()) return std::nullopt;
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return std::nullopt;
    auto result = remoteConfig->getFeatureFlagResult(key);
    if (sendEvent.value_or(config_->sendFeatureFlagEvent)) reportFeatureFlagCalled(key, flagValue(result));
    return result;
}

std::optional<OrbitFeatureFlagResult> OrbitSDK::getFeatureFlagResult(const std::string& key) {
    return featureFlagResult(key, std::nullopt);
}

std::optional<OrbitFeatureFlagResult> OrbitSDK::getFeatureFlagResult(const std::string& key,
                                                                     bool sendFeatureFlagEvent) {
    return featureFlagResult(key, sendFeatureFlagEvent);
}

std::optional<Json> OrbitSDK::getFeatureFlag(const std::string& key) {
    return flagValue(featureFlagResult(key, std::nullopt));
}

std::optional<Json> OrbitSDK::getFeatureFlag(const std::string& key, bool sendFeatureFlagEvent) {
    return flagValue(featureFlagResult(key, sendFeatureFlagEvent));
}

namespace {
bool enabledFor(const std::optional<Json>& value) {
    if (!value) return false;
    if (value->is_string()) return true;
    return value->is_boolean() && value->get<bool>();
}
}  // namespace

bool OrbitSDK::isFeatureEnabled(const std::string& key) { return enabledFor(getFeatureFlag(key)); }

bool OrbitSDK::isFeatureEnabled(const std::string& key, bool sendFeatureFlagEvent) {
    return enabledFor(getFeatureFlag(key, sendFeatureFlagEvent));
}

std::optional<Json> OrbitSDK::getFeatureFlagPayload(const std::string& key) {
    const auto result = featureFlagResult(key, false);
    return result ? result->payload() : std::nullopt;
}

void OrbitSDK::reportFeatureFlagCalled(const std::string& flagKey, const std::optional<Json>& flagValue) {
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return;
    {
        std::lock_guard lock(flagCallReportedLock_);
        auto& reported = flagCallReported_[flagKey];
        for (const auto& value : reported)
            if (sameFlagValue(value, flagValue)) return;
        reported.push_back(flagValue);
    }
    Json properties = {{"$feature_flag", flagKey},
                       {"$feature_flag_response", flagValue ? *flagValue : Json(nullptr)},
                       {"$feature_flag_request_id", remoteConfig->lastRequestId().value_or("")}};
    if (const auto evaluatedAt = remoteConfig->lastEvaluatedAt())
        properties["$feature_flag_evaluated_at"] = *evaluatedAt;
    if (const auto details = remoteConfig->getFeatureFlagDetails(flagKey); details && details->is_object()) {
        if (const auto reason = details->find("reason"); reason != details->end() && reason->is_object())
            properties["$feature_flag_reason"] = memberOrNull(*reason, "description");
        if (const auto metadata = details->find("metadata"); metadata != details->end() && metadata->is_object()) {
            properties["$feature_flag_id"] = memberOrNull(*metadata, "id");
            properties["$feature_flag_version"] = memberOrNull(*metadata, "version");
        }
    }
    capture("$feature_flag_called", properties);
}

void OrbitSDK::setPersonPropertiesForFlags(const Properties& properties, bool reloadFeatureFlags) {
    if (!isSetUp()) return;
    const auto sanitized = sanitizeDictionary(properties);
    if (!sanitized || sanitized->empty()) return;
    const auto remoteConfig = remoteConfig_.load();
    if (remoteConfig) remoteConfig->setPersonPropertiesForFlags(*sanitized);
    if (reloadFeatureFlags && remoteConfig) remoteConfig->reloadFeatureFlags();
}

void OrbitSDK::resetPersonPropertiesForFlags(bool reloadFeatureFlags) {
    if (!isSetUp()) return;
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return;
    remoteConfig->resetPersonPropertiesForFlags();
    if (reloadFeatureFlags) remoteConfig->reloadFeatureFlags();
}

void OrbitSDK::setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties,
                                          bool reloadFeatureFlags) {
    if (!isSetUp()) return;
    const auto sanitized = sanitizeDictionary(properties);
    if (!sanitized || sanitized->empty()) return;
    const auto remoteConfig = remoteConfig_.load();
    if (remoteConfig) remoteConfig->setGroupPropertiesForFlags(groupType, *sanitized);
    if (reloadFeatureFlags && remoteConfig) remoteConfig->reloadFeatureFlags();
}

void OrbitSDK::resetGroupPropertiesForFlags(bool reloadFeatureFlags) {
    if (!isSetUp()) return;
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return;
    remoteConfig->resetGroupPropertiesForFlags(std::nullopt);
    if (reloadFeatureFlags) remoteConfig->reloadFeatureFlags();
}

void OrbitSDK::resetGroupPropertiesForFlags(const std::string& groupType, bool reloadFeatureFlags) {
    if (!isSetUp()) return;
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return;
    remoteConfig->resetGroupPropertiesForFlags(groupType);
    if (reloadFeatureFlags) remoteConfig->reloadFeatureFlags();
}

void OrbitSDK::reloadFeatureFlags(std::function<void()> completion) {
    if (!isSetUp()) return;
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return;
    remoteConfig->reloadFeatureFlags([completion = std::move(completion)](const std::optional<Json>&) {
        if (completion) completion();
    });
}

void OrbitSDK::captureFeatureView(const std::string& flag, const std::optional<std::string>& flagVariant) {
    captureFeatureUse("$feature_view", "captureFeatureView", flag, flagVariant);
}

void OrbitSDK::captureFeatureInteraction(const std::string& flag, const std::optional<std::string>& flagVariant) {
    captureFeatureUse("$feature_interaction", "captureFeatureInteraction", flag, flagVariant);
}

void OrbitSDK::captureFeatureUse(const std::string& event, const std::string& callName, const std::string& flag,
                                 const std::optional<std::string>& flagVariant) {
    if (!isSetUp() || isOptedOut()) return;
    const auto value = flagVariant ? std::optional<Json>(*flagVariant) : getFeatureFlag(flag, false);
    if (!value) {
        hedgeLog(callName + " called for flag '" + flag +
                 "' but no variant value is available. Event will not be captured.");
        return;
    }
    Json properties = {{"feature_flag", flag}};
    if (value->is_string()) properties["feature_flag_variant"] = *value;
    capture(event, std::nullopt, properties, Json{{event + "/" + flag, *value}}, std::nullopt, std::nullopt);
}

}  // namespace orbit
