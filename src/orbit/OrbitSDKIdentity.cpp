// Identity, registered and person properties, and groups.
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/OrbitContext.h"
#include "orbit/OrbitSDK.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {

using Json = nlohmann::json;
using Key = OrbitStorage::StorageKey;

void OrbitSDK::identify(const std::string& distinctId, const Properties& userProperties,
                        const Properties& userPropertiesSetOnce) {
    const uint64_t generation = closes_;
    if (!isSetUp()) return;
    if (distinctId.empty()) {
        hedgeLog("identify call not allowed, distinctId is invalid: " + distinctId);
        return;
    }
    if (isOptedOut()) return;
    if (!requirePersonProcessing("identify(_:userProperties:userPropertiesSetOnce:)")) return;
    const auto manager = config_->storageManager.load();
    if (!queue_ || !manager) return;
    const auto current = getDistinctId();
    const bool identified = manager->isIdentified();

    if (distinctId == current) {
        if (!(userProperties && !userProperties->empty()) &&
            !(userPropertiesSetOnce && !userPropertiesSetOnce->empty())) {
            hedgeLog("already identified with id: " + current);
            return;
        }
        const auto hash = getPersonPropertiesHash(distinctId, userProperties, userPropertiesSetOnce);
        {
            std::lock_guard lock(cachedPersonPropertiesLock_);
            if (cachedPersonPropertiesHash_ == hash) {
                hedgeLog(
                    "A duplicate identify call was made with the same properties. The $set event has been ignored.");
                return;
            }
            cachedPersonPropertiesHash_ = hash;
        }
        capture("$set", distinctId, std::nullopt, userProperties, userPropertiesSetOnce, std::nullopt);
        setPersonPropertiesForFlagsIfNeeded(userProperties, userPropertiesSetOnce);
        return;
    }
    if (identified) {
        hedgeLog("already identified with id: " + current);
        return;
    }

    Json properties = {{"distinct_id", distinctId}};
    if (!config_->reuseAnonymousId) {
        manager->setAnonymousId(current);
        properties["$anon_distinct_id"] = current;
    }
    manager->setDistinctId(distinctId);
    manager->setIdentified(true);
    auto built = buildProperties(distinctId, properties, sanitizeDictionary(userProperties),
                                 sanitizeDictionary(userPropertiesSetOnce), std::nullopt, true, std::nullopt);
    const auto event = buildEvent("$identify", distinctId, std::move(built), host_.now());
    if (!event) return;
    setPersonPropertiesForFlagsIfNeeded(userProperties, userPropertiesSetOnce);
    enqueue(event, generation);
    if (const auto remoteConfig = remoteConfig_.load()) remoteConfig->reloadFeatureFlags();
    notifyContextDidChange();
}

void OrbitSDK::alias(const std::string& alias) {
    if (!isSetUp() || isOptedOut()) return;
    if (!requirePersonProcessing("alias(_:)") || !queue_) return;
    captureBuilt("$create_alias", {{"alias", alias}});
}

void OrbitSDK::setPersonProperties(const Properties& userPropertiesToSet, const Properties& userPropertiesToSetOnce) {
    if (!isSetUp()) return;
    const bool hasSet = userPropertiesToSet && userPropertiesToSet->is_object() && !userPropertiesToSet->empty();
    const bool hasSetOnce =
        userPropertiesToSetOnce && userPropertiesToSetOnce->is_object() && !userPropertiesToSetOnce->empty();
    if (!hasSet && !hasSetOnce) return;
    if (!requirePersonProcessing("setPersonProperties(userPropertiesToSet:userPropertiesToSetOnce:)")) return;
    const auto distinctId = getDistinctId();
    const auto hash = getPersonPropertiesHash(distinctId, userPropertiesToSet, userPropertiesToSetOnce);
    {
        std::lock_guard lock(cachedPersonPropertiesLock_);
        if (cachedPersonPropertiesHash_ == hash) {
            hedgeLog("A duplicate setPersonProperties call was made with the same properties. It has been ignored.");
            return;
        }
        cachedPersonPropertiesHash_ = hash;
    }
    auto merged = Json::object();
    if (hasSetOnce) merged.update(*userPropertiesToSetOnce);
    if (hasSet) merged.update(*userPropertiesToSet);
    const auto remoteConfig = remoteConfig_.load();
    if (const auto sanitized = sanitizeDictionary(merged); sanitized && remoteConfig)
        remoteConfig->setPersonPropertiesForFlags(*sanitized);
    capture("$set", distinctId, std::nullopt, userPropertiesToSet, userPropertiesToSetOnce, std::nullopt);
}

std::string OrbitSDK::getPersonPropertiesHash(const std::string& distinctId, const Properties& userPropertiesToSet,
                                              const Properties& userPropertiesToSetOnce) {
    Json fingerprint = {{"distinct_id", distinctId}};
    if (userPropertiesToSet) fingerprint["userPropertiesToSet"] = *userPropertiesToSet;
    if (userPropertiesToSetOnce) fingerprint["userPropertiesToSetOnce"] = *userPropertiesToSetOnce;
    // Objects keep their keys sorted, so equal maps give equal texts whatever order they were built in.
    if (auto text = writeJSON(fingerprint)) return *text;
    return fingerprint.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void OrbitSDK::setPersonPropertiesForFlagsIfNeeded(const Properties& userProperties,
                                                   const Properties& userPropertiesSetOnce) {
    auto merged = sanitizeDictionary(userProperties).value_or(Json::object());
    if (const auto setOnce = sanitizeDictionary(userPropertiesSetOnce))
        for (const auto& [key, value] : setOnce->items())
            if (!merged.contains(key)) merged[key] = value;
    if (const auto remoteConfig = remoteConfig_.load(); remoteConfig && !merged.empty())
        remoteConfig->setPersonPropertiesForFlags(merged);
}

nlohmann::json OrbitSDK::getDefaultPersonProperties() {
    if (!config_->setDefaultPersonProperties || !isSetUp()) return Json::object();
    const auto context = context_.load();
    return context ? context->personPropertiesContext() : Json::object();
}

nlohmann::json OrbitSDK::getRegisteredProperties() {
    const auto storage = storage_.load();
    if (!storage) return Json::object();
    auto stored = storage->getDictionary(Key::registerProperties);
    return stored && stored->is_object() ? std::move(*stored) : Json::object();
}

void OrbitSDK::registerProperties(const nlohmann::json& properties) {
    if (!isSetUp()) return;
    const auto sanitized = sanitizeDictionary(properties);
    if (!sanitized) return;
    {
        std::lock_guard lock(personPropsLock_);
        auto registered = getRegisteredProperties();
        registered.update(*sanitized);
        if (const auto storage = storage_.load()) storage->setDictionary(Key::registerProperties, registered);
    }
    notifyContextDidChange();
}

void OrbitSDK::unregister(const std::string& key) {
    if (!isSetUp()) return;
    {
        std::lock_guard lock(personPropsLock_);
        auto registered = getRegisteredProperties();
        registered.erase(key);
        if (const auto storage = storage_.load()) storage->setDictionary(Key::registerProperties, registered);
    }
    notifyContextDidChange();
}

void OrbitSDK::reset() {
    if (!isSetUp()) return;
    if (const auto storage = storage_.load()) storage->reset(config_->reuseAnonymousId);
    if (const auto manager = config_->storageManager.load()) manager->reset(config_->reuseAnonymousId, false);
    sessionManager_->reset();
    if (const auto remoteConfig = remoteConfig_.load()) remoteConfig->clear();
    {
        std::lock_guard lock(lastScreenLock_);
        lastScreenName_.reset();
    }
    {
        std::lock_guard lock(flagCallReportedLock_);
        flagCallReported_.clear();
    }
    if (const auto remoteConfig = remoteConfig_.load()) remoteConfig->reloadFeatureFlags();
    notifyContextDidChange();
}

void OrbitSDK::group(const std::string& type, const std::string& key, const Properties& groupProperties) {
    if (!isSetUp() || isOptedOut()) return;
    if (!requirePersonProcessing("group(type:key:groupProperties:)")) return;
    groups({{type, key}});
    groupIdentify(type, key, sanitizeDictionary(groupProperties));
    notifyContextDidChange();
}

std::map<std::string, std::string> OrbitSDK::getGroups() {
    std::map<std::string, std::string> groups;
    const auto storage = storage_.load();
    if (!storage) return groups;
    const auto stored = storage->getDictionary(Key::groups);
    if (!stored || !stored->is_object()) return groups;
    for (const auto& [type, key] : stored->items()) {
        if (!key.is_string()) return {};
        groups[type] = key.get<std::string>();
    }
    return groups;
}

std::map<std::string, std::string> OrbitSDK::groups(const std::map<std::string, std::string>& newGroups) {
    const auto storage = storage_.load();
    if (!storage) return {};
    bool changed = false;
    std::map<std::string, std::string> stored;
    {
        std::lock_guard lock(groupsLock_);
        stored = getGroups();
        for (const auto& [type, key] : newGroups) {
            const auto found = stored.find(type);
            if (found == stored.end() || found->second != key) changed = true;
            stored[type] = key;
        }
        storage->setDictionary(Key::groups, stored);
    }
    if (const auto remoteConfig = remoteConfig_.load(); changed && remoteConfig) remoteConfig->reloadFeatureFlags();
    return stored;
}

void OrbitSDK::groupIdentify(const std::string& type, const std::string& key, const Properties& groupProperties) {
    if (!isSetUp() || isOptedOut() || !queue_) return;
    Json properties = {{"$group_type", type}, {"$group_key", key}};
    if (const auto set = sanitizeDictionary(groupProperties)) properties["$group_set"] = *set;
    setGroupPropertiesForFlagsIfNeeded(type, groupProperties);
    captureBuilt("$groupidentify", std::move(properties));
}

void OrbitSDK::setGroupPropertiesForFlagsIfNeeded(const std::string& type, const Properties& groupProperties) {
    const auto sanitized = sanitizeDictionary(groupProperties);
    const auto remoteConfig = remoteConfig_.load();
    if (sanitized && !sanitized->empty() && remoteConfig) remoteConfig->setGroupPropertiesForFlags(type, *sanitized);
}

}  // namespace orbit
