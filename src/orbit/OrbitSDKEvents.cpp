// The road of an event: capture, property building, event building and screens.
#include <algorithm>

#include "orbit/DI.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/Models/OrbitKnownUnsafeEditableEvent.h"
#include "orbit/OrbitContext.h"
#include "orbit/OrbitSDK.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Queue/OrbitReplayQueue.h"
#include "orbit/ScreenViews/OrbitScreenNameSanitizer.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"

namespace orbit {
namespace {

using Json = nlohmann::json;

// Inserts the keys of from that into lacks.
void add(Json& into, const Json& from) {
    if (!from.is_object()) return;
    for (const auto& [key, value] : from.items())
        if (!into.contains(key)) into[key] = value;
}

bool isNonEmpty(const OrbitSDK::Properties& map) { return map && map->is_object() && !map->empty(); }

bool hasNonEmptyString(const OrbitSDK::Properties& properties, const char* key, bool trimBlanks) {
    if (!properties || !properties->is_object()) return false;
    const auto found = properties->find(key);
    if (found == properties->end() || !found->is_string()) return false;
    const auto& text = found->get_ref<const std::string&>();
    return trimBlanks ? text.find_first_not_of(" \t\r\n\v\f") != std::string::npos : !text.empty();
}

constexpr const char* captureFunctionName =
    "captureInternal(_:distinctId:properties:userProperties:userPropertiesSetOnce:groups:timestamp:"
    "skipBuildProperties:)";

}  // namespace

void OrbitSDK::capture(const std::string& event) { capture(event, std::nullopt); }

void OrbitSDK::capture(const std::string& event, const Properties& properties) {
    capture(event, properties, std::nullopt);
}

void OrbitSDK::capture(const std::string& event, const Properties& properties, const Properties& userProperties) {
    capture(event, properties, userProperties, std::nullopt);
}

void OrbitSDK::capture(const std::string& event, const Properties& properties, const Properties& userProperties,
                       const Properties& userPropertiesSetOnce) {
    capture(event, properties, userProperties, userPropertiesSetOnce, std::nullopt);
}

void OrbitSDK::capture(const std::string& event, const Properties& properties, const Properties& userProperties,
                       const Properties& userPropertiesSetOnce, const Groups& groups) {
    capture(event, std::nullopt, properties, userProperties, userPropertiesSetOnce, groups);
}

void OrbitSDK::capture(const std::string& event, const std::optional<std::string>& distinctId,
                       const Properties& properties, const Properties& userProperties,
                       const Properties& userPropertiesSetOnce, const Groups& groups) {
    capture(event, distinctId, properties, userProperties, userPropertiesSetOnce, groups, std::nullopt);
}

void OrbitSDK::capture(const std::string& event, const std::optional<std::string>& distinctId,
                       const Properties& properties, const Properties& userProperties,
                       const Properties& userPropertiesSetOnce, const Groups& groups,
                       const std::optional<OrbitDate>& timestamp) {
    const uint64_t generation = closes_;
    if (!isSetUp() || isOptedOut()) return;
    const auto queue = queue_.load();
    if (!queue) return;
    const bool isSnapshot = event == "$snapshot";
    const auto eventTimestamp = timestamp.value_or(host_.now());
    const auto eventDistinctId = distinctId.value_or(getDistinctId());
    if (isNonEmpty(userProperties) || isNonEmpty(userPropertiesSetOnce) || (groups && !groups->empty())) {
        if (!requirePersonProcessing(captureFunctionName)) return;
    }
    const auto sanitizedProperties = sanitizeDictionary(properties);
    const auto sanitizedUserProperties = sanitizeDictionary(userProperties);
    const auto sanitizedSetOnce = sanitizeDictionary(userPropertiesSetOnce);
    auto built = buildProperties(eventDistinctId, sanitizedProperties, sanitizedUserProperties, sanitizedSetOnce,
                                 groups, !isSnapshot, timestamp);
    const auto built_event = buildEvent(event, eventDistinctId, std::move(built), eventTimestamp);
    if (!built_event) return;
    if (closes_ != generation) return;
    if (built_event->event != "$snapshot") {
        setPersonPropertiesForFlagsIfNeeded(userProperties, userPropertiesSetOnce);
        queue->add(*built_event);
    } else {
        if (!built_event->properties.contains("$session_id")) return;
        setPersonPropertiesForFlagsIfNeeded(userProperties, userPropertiesSetOnce);
        if (const auto replayQueue = replayQueue_.load()) replayQueue->add(*built_event);
    }
    onEventCaptured.invoke(*built_event);
}

bool OrbitSDK::isOptedOut() {
    if (!config_->optOut) return false;
    hedgeLog("Orbit is in OptOut state.");
    return true;
}

nlohmann::json OrbitSDK::buildProperties(const std::string& distinctId, const Properties& properties,
                                         const Properties& userProperties, const Properties& userPropertiesSetOnce,
                                         const Groups& groups, bool appendSharedProps,
                                         const std::optional<OrbitDate>& timestamp) {
    auto result = Json::object();
    const auto context = context_.load();
    if (appendSharedProps) {
        if (context) {
            add(result, context->staticContext());
            add(result, context->dynamicContext());
        }
        add(result, dynamicContext());
        if (userProperties) result["$set"] = *userProperties;
        if (userPropertiesSetOnce) result["$set_once"] = *userPropertiesSetOnce;
        if (groups) {
            auto merged = Json::object();
            if (const auto found = result.find("$groups"); found != result.end() && found->is_object()) {
                const bool allText =
                    std::all_of(found->begin(), found->end(), [](const Json& v) { return v.is_string(); });
                if (allText) merged = *found;
            }
            for (const auto& [type, key] : *groups)
                if (!merged.contains(type)) merged[type] = key;
            result["$groups"] = std::move(merged);
        }
        if (const auto manager = config_->storageManager.load()) result["$is_identified"] = manager->isIdentified();
        result["$process_person_profile"] = hasPersonProcessing();
        std::optional<std::string> lastScreen;
        {
            std::lock_guard lock(lastScreenLock_);
            lastScreen = lastScreenName_;
        }
        if (lastScreen && !lastScreen->empty() && !hasNonEmptyString(properties, "$screen_name", true))
            result["$screen_name"] = *lastScreen;
    }
    if (context) add(result, context->sdkInfo());
    if (!hasNonEmptyString(properties, "$session_id", false)) {
        if (const auto sessionId = sessionManager_->getSessionId(timestamp.value_or(host_.now()), false))
            result["$session_id"] = *sessionId;
    }
    if (!appendSharedProps && !hasNonEmptyString(properties, "distinct_id", false)) result["distinct_id"] = distinctId;
    if (properties) add(result, *properties);
    return result;
}

nlohmann::json OrbitSDK::dynamicContext() {
    auto properties = getRegisteredProperties();
    std::map<std::string, std::string> groups;
    {
        std::lock_guard lock(groupsLock_);
        groups = getGroups();
    }
    if (!groups.empty()) properties["$groups"] = groups;
    const auto remoteConfig = remoteConfig_.load();
    if (!remoteConfig) return properties;
    const auto flags = remoteConfig->getFeatureFlags();
    if (!flags || !flags->is_object()) return properties;
    auto active = Json::array();
    for (const auto& [key, value] : flags->items()) {
        properties["$feature/" + key] = value;
        if (!(value.is_boolean() && !value.get<bool>())) active.push_back(key);
    }
    if (!active.empty()) properties["$active_feature_flags"] = std::move(active);
    return properties;
}

bool OrbitSDK::hasPersonProcessing() {
    switch (config_->personProfiles) {
    case OrbitPersonProfiles::never: return false;
    case OrbitPersonProfiles::always: return true;
    case OrbitPersonProfiles::identifiedOnly: break;
    }
    const auto manager = config_->storageManager.load();
    if (!manager) return true;
    return manager->isIdentified() || manager->isPersonProcessing();
}

bool OrbitSDK::requirePersonProcessing(const std::string& functionName) {
    if (config_->personProfiles == OrbitPersonProfiles::never) {
        hedgeLog(functionName + " was called, but `personProfiles` is set to `never`. This call will be ignored.");
        return false;
    }
    if (const auto manager = config_->storageManager.load()) manager->setPersonProcessing(true);
    return true;
}

std::shared_ptr<OrbitEvent> OrbitSDK::buildEvent(const std::string& event, const std::string& distinctId,
                                                 nlohmann::json properties, OrbitDate timestamp) {
    if (const auto sanitizer = config_->propertiesSanitizer) properties = sanitizer->sanitize(properties);
    if (!properties.is_object()) properties = Json::object();
    auto built = std::make_shared<OrbitEvent>(event, distinctId, std::move(properties), timestamp,
                                              TimeBasedEpochGenerator::shared().v7());
    built = config_->beforeSend.run(std::move(built));
    if (built) return built;
    std::string message = "Orbit event " + event + " was dropped";
    if (OrbitKnownUnsafeEditableEvent::contains(event)) message += ". This can cause unexpected behavior.";
    hedgeLog(message);
    return nullptr;
}

void OrbitSDK::enqueue(const std::shared_ptr<OrbitEvent>& event, uint64_t generation) {
    const auto queue = queue_.load();
    if (!queue || closes_ != generation) return;
    queue->add(*event);
    onEventCaptured.invoke(*event);
}

// An event of the client's own, with the current distinct id and the shared properties.
bool OrbitSDK::captureBuilt(const std::string& name, nlohmann::json properties) {
    const uint64_t generation = closes_;
    const auto distinctId = getDistinctId();
    auto built = buildProperties(distinctId, std::move(properties), std::nullopt, std::nullopt, std::nullopt, true,
                                 std::nullopt);
    const auto event = buildEvent(name, distinctId, std::move(built), host_.now());
    if (event) enqueue(event, generation);
    return event != nullptr;
}

void OrbitSDK::screen(const std::string& title, const Properties& properties) {
    if (!isSetUp() || isOptedOut()) return;
    const auto name = OrbitScreenNameSanitizer::sanitize(title);
    if (!name) return;
    bool same = false;
    {
        std::lock_guard lock(lastScreenLock_);
        same = lastScreenName_ == name;
        lastScreenName_ = name;
    }
    if (!queue_) return;
    Json screenProperties = {{"$screen_name", *name}};
    if (const auto sanitized = sanitizeDictionary(properties)) screenProperties.update(*sanitized);
    if (!captureBuilt("$screen", std::move(screenProperties))) return;
    DI::main().screenViewPublisher().onScreenView.invoke(*name);
    if (!same) notifyContextDidChange();
}

}  // namespace orbit
