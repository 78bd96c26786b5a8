#include "orbit/Flags/OrbitRemoteConfig.h"

#include <algorithm>
#include <utility>

#include "orbit/Utils/HedgeLog.h"

namespace orbit {
namespace {

using Json = nlohmann::json;
using Key = OrbitStorage::StorageKey;

const Json* member(const Json& object, const std::string& name) {
    if (!object.is_object()) return nullptr;
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

const Json* member(const Json* object, const std::string& name) { return object ? member(*object, name) : nullptr; }

Json valueOr(const Json* cached) { return cached ? *cached : Json::object(); }

bool isObjectOf(const Json& value, bool (Json::*test)() const noexcept) {
    return value.is_object() && std::all_of(value.begin(), value.end(), [&](const Json& m) { return (m.*test)(); });
}

// The answer's entries laid over the cached ones, key by key.
Json overlaid(Json cached, const Json& answer) {
    if (!cached.is_object()) cached = Json::object();
    for (const auto& [key, value] : answer.items()) cached[key] = value;
    return cached;
}

}  // namespace

std::shared_ptr<OrbitRemoteConfig> OrbitRemoteConfig::create(std::shared_ptr<OrbitConfig> config,
                                                             std::shared_ptr<OrbitStorage> storage,
                                                             std::shared_ptr<OrbitApi> api,
                                                             GetDefaultPersonProperties getDefaultPersonProperties,
                                                             FeatureFlagCalledCallback featureFlagCalledCallback,
                                                             MainQueue mainQueue, PostNotification postNotification) {
    std::shared_ptr<OrbitRemoteConfig> instance(new OrbitRemoteConfig(
        std::move(config), std::move(storage), std::move(api), std::move(getDefaultPersonProperties),
        std::move(featureFlagCalledCallback), std::move(mainQueue), std::move(postNotification)));
    instance->loadCachedPropertiesForFlags();
    instance->preloadSessionReplay();
    instance->preloadErrorTrackingConfig();
    instance->preloadRemoteConfig();
    return instance;
}

OrbitRemoteConfig::OrbitRemoteConfig(std::shared_ptr<OrbitConfig> config, std::shared_ptr<OrbitStorage> storage,
                                     std::shared_ptr<OrbitApi> api,
                                     GetDefaultPersonProperties getDefaultPersonProperties,
                                     FeatureFlagCalledCallback featureFlagCalledCallback, MainQueue mainQueue,
                                     PostNotification postNotification)
    : config_(std::move(config)),
      storage_(std::move(storage)),
      api_(std::move(api)),
      getDefaultPersonProperties_(std::move(getDefaultPersonProperties)),
      featureFlagCalledCallback_(std::move(featureFlagCalledCallback)),
      mainQueue_(std::move(mainQueue)),
      postNotification_(std::move(postNotification)) {}

// Remote configuration

void OrbitRemoteConfig::preloadRemoteConfig() {
    {
        std::lock_guard lock(remoteConfigLock_);
        if (getCachedRemoteConfig() && remoteConfigDidFetch_) return;
    }
    std::weak_ptr<OrbitRemoteConfig> weakSelf = weak_from_this();
    dispatchQueue_.async([self = shared_from_this(), weakSelf] {
        self->reloadRemoteConfig([weakSelf](const std::optional<Json>& document) {
            if (const auto instance = weakSelf.lock()) instance->onPreloadedRemoteConfig(document);
        });
    });
}

void OrbitRemoteConfig::reloadRemoteConfig(RemoteConfigCallback callback) {
    {
        std::lock_guard lock(loadingRemoteConfigLock_);
        if (loadingRemoteConfig_) return;
        loadingRemoteConfig_ = true;
    }
    api_->remoteConfig([self = shared_from_this(), callback = std::move(callback)](std::optional<Json> document,
                                                                                   std::optional<OrbitError>) {
        if (document) {
            {
                std::lock_guard lock(self->remoteConfigLock_);
                self->remoteConfig_ = *document;
                self->storage_->setJson(Key::remoteConfig, *document);
            }
            self->processErrorTrackingConfig(*document);
            self->mainQueue_([self, document] { self->onRemoteConfigLoaded.invoke(document); });
        }
        {
            std::lock_guard lock(self->loadingRemoteConfigLock_);
            self->remoteConfigDidFetch_ = true;
            self->loadingRemoteConfig_ = false;
        }
        if (callback) callback(document);
    });
}

void OrbitRemoteConfig::onPreloadedRemoteConfig(const std::optional<Json>& document) {
    if (!document) {
        hedgeLog("Remote config response is missing, skipping loading flags");
        return notifyFeatureFlags(std::nullopt);
    }
    const auto* hasFeatureFlags = member(*document, hasFeatureFlagsKey);
    if (hasFeatureFlags && hasFeatureFlags->is_boolean() && !hasFeatureFlags->get<bool>()) {
        hedgeLog("hasFeatureFlags is false, clearing flags and skipping loading flags");
        clearFeatureFlags();
        return notifyFeatureFlags(Json::object());
    }
    if (config_->preloadFeatureFlags) preloadFeatureFlags();
}

void OrbitRemoteConfig::processErrorTrackingConfig(const Json& document) {
    const auto* errorTracking = member(document, "errorTracking");
    std::lock_guard lock(errorTrackingLock_);
    if (errorTracking && errorTracking->is_boolean()) {
        autoCaptureExceptions_ = errorTracking->get<bool>();
        if (!autoCaptureExceptions_) storage_->remove(Key::errorTracking);
    } else if (errorTracking && errorTracking->is_object()) {
        const auto* autocapture = member(*errorTracking, "autocaptureExceptions");
        autoCaptureExceptions_ = autocapture && autocapture->is_boolean() && autocapture->get<bool>();
        storage_->setJson(Key::errorTracking, *errorTracking);
    } else {
        autoCaptureExceptions_ = false;
    }
}

void OrbitRemoteConfig::preloadErrorTrackingConfig() {
    const auto stored = storage_->getJson(Key::errorTracking);
    if (!stored || !stored->is_object()) return;
    const auto* autocapture = member(*stored, "autocaptureExceptions");
    std::lock_guard lock(errorTrackingLock_);
    autoCaptureExceptions_ = autocapture && autocapture->is_boolean() && autocapture->get<bool>();
}

bool OrbitRemoteConfig::isAutocaptureExceptionsEnabled() {
    std::lock_guard lock(errorTrackingLock_);
    return autoCaptureExceptions_;
}

// Session replay

void OrbitRemoteConfig::preloadSessionReplay() {
    std::optional<Json> settings;
    Json featureFlags = Json::object();
    {
        std::lock_guard lock(featureFlagsLock_);
        settings = storage_->getJson(Key::sessionReplay);
        if (const auto* cached = getCachedFeatureFlags()) featureFlags = *cached;
    }
    if (!settings || !settings->is_object()) return;
    if (const auto* endpoint = member(*settings, "endpoint"); endpoint && endpoint->is_string())
        config_->setSnapshotEndpoint(endpoint->get<std::string>());
    std::lock_guard lock(sessionReplayLock_);
    sessionReplayFlagActive_ = isRecordingActive(featureFlags, *settings);
}

bool OrbitRemoteConfig::isRecordingActive(const Json& featureFlags, const Json& sessionReplay) {
    const auto report = [&](const std::string& key, const Json& value) {
        if (config_->sendFeatureFlagEvent && featureFlagCalledCallback_) featureFlagCalledCallback_(key, value);
    };
    const auto* linkedFlag = member(sessionReplay, "linkedFlag");
    if (linkedFlag && linkedFlag->is_string()) {
        const auto key = linkedFlag->get<std::string>();
        const auto* value = member(featureFlags, key);
        if (!value) return false;
        report(key, *value);
        if (value->is_boolean()) return value->get<bool>();
        return value->is_string();
    }
    if (linkedFlag && linkedFlag->is_object()) {
        const auto* flag = member(*linkedFlag, "flag");
        const auto* variant = member(*linkedFlag, "variant");
        if (!flag || !flag->is_string() || !variant || !variant->is_string()) return false;
        const auto key = flag->get<std::string>();
        const auto* value = member(featureFlags, key);
        if (!value || !value->is_string()) return false;
        report(key, *value);
        return *value == *variant;
    }
    return true;
}

// Feature flags

void OrbitRemoteConfig::preloadFeatureFlags() {
    {
        std::lock_guard lock(featureFlagsLock_);
        getCachedFeatureFlags();
    }
    if (config_->preloadFeatureFlags) dispatchQueue_.async([self = shared_from_this()] { self->reloadFeatureFlags(); });
}

void OrbitRemoteConfig::reloadFeatureFlags(FlagsCallback callback) {
    const auto storageManager = config_->storageManager.load();
    if (!storageManager) {
        hedgeLog("No OrbitStorageManager found in config, skipping loading feature flags");
        if (callback) callback(std::nullopt);
        return;
    }
    PendingFeatureFlagsRequest request;
    request.groups = getGroups();
    request.distinctId = storageManager->getDistinctId();
    if (!config_->reuseAnonymousId) request.anonymousId = storageManager->getAnonymousId();
    if (auto deviceId = storageManager->getDeviceId(); !deviceId.empty()) request.deviceId = std::move(deviceId);
    request.callback = callback ? std::move(callback) : [](const std::optional<Json>&) {};
    loadFeatureFlags(std::move(request));
}

void OrbitRemoteConfig::loadFeatureFlags(PendingFeatureFlagsRequest request) {
    std::optional<PendingFeatureFlagsRequest> replaced;
    bool waits = false;
    {
        std::lock_guard lock(loadingFeatureFlagsLock_);
        waits = loadingFeatureFlags_;
        if (waits)
            replaced = std::exchange(pendingFeatureFlagsRequest_, std::move(request));
        else
            loadingFeatureFlags_ = true;
    }
    if (waits) {
        // The request now waits; the one it replaced is answered from the cache.
        if (replaced && replaced->callback) replaced->callback(getFeatureFlags());
        return;
    }

    const auto personProperties = getPersonPropertiesForFlags();
    const auto groupProperties = getGroupPropertiesForFlags();
    api_->flags(request.distinctId, request.anonymousId, request.deviceId, request.groups, personProperties,
                groupProperties,
                [self = shared_from_this(), callback = std::move(request.callback)](std::optional<Json> answer,
                                                                                    std::optional<OrbitError>) {
                    self->dispatchQueue_.async([self, callback, answer = std::move(answer)]() mutable {
                        self->handleFlagsAnswer(std::move(answer), callback);
                    });
                });
}

void OrbitRemoteConfig::handleFlagsAnswer(std::optional<Json> answer, const FlagsCallback& callback) {
    const auto finish = [&](const std::optional<Json>& result) {
        notifyFeatureFlagsAndRelease(result);
        if (callback) callback(result);
    };
    if (!answer || !answer->is_object()) {
        hedgeLog("Error: Flags response data is nil");
        return finish(std::nullopt);
    }
    if (const auto* quota = member(*answer, "quotaLimited"); quota && quota->is_array()) {
        const bool flagsLimited = std::any_of(quota->begin(), quota->end(), [](const Json& limit) {
            return limit.is_string() && limit.get_ref<const std::string&>() == "feature_flags";
        });
        if (flagsLimited) {
            hedgeLog(std::string("Warning: Feature flags quota limit reached - flags could not be updated. See ") +
                     quotaLimitsURL + " for more information.");
            Json cached = Json::object();
            {
                std::lock_guard lock(featureFlagsLock_);
                if (const auto* values = getCachedFeatureFlags()) cached = *values;
            }
            return finish(cached);
        }
    }

    normalizeResponse(*answer);
    const auto* details = member(*answer, "flags");
    if (details && !details->is_object()) details = nullptr;
    const auto* values = member(*answer, "featureFlags");
    const auto* payloads = member(*answer, "featureFlagPayloads");
    if (!values || !values->is_object() || !payloads || !payloads->is_object()) {
        hedgeLog("Error: Flags response missing correct featureFlags format");
        return finish(std::nullopt);
    }
    const auto* requestId = member(*answer, "requestId");
    const auto* evaluatedAt = member(*answer, "evaluatedAt");
    const auto* errors = member(*answer, "errorsWhileComputingFlags");
    const bool errorsWhileComputingFlags = errors && errors->is_boolean() && errors->get<bool>();

    Json result;
    {
        std::lock_guard lock(featureFlagsLock_);
        if (requestId && requestId->is_string()) {
            requestId_ = requestId->get<std::string>();
            storage_->setJson(Key::requestId, *requestId_);
        }
        if (evaluatedAt && evaluatedAt->is_number_integer() &&
            !(evaluatedAt->is_number_unsigned() && evaluatedAt->get<uint64_t>() > uint64_t(INT64_MAX))) {
            evaluatedAt_ = evaluatedAt->get<int64_t>();
            storage_->setJson(Key::evaluatedAt, *evaluatedAt_);
        }
        if (!errorsWhileComputingFlags) {
            if (details) {
                flags_ = *details;
                storage_->setJson(Key::flags, *flags_);
            }
            featureFlags_ = *values;
            featureFlagPayloads_ = *payloads;
        } else {
            // Flags that failed to evaluate keep what the last good answer said.
            if (details) {
                flags_ = overlaid(valueOr(getCachedFlags()), *details);
                storage_->setJson(Key::flags, *flags_);
            }
            featureFlags_ = overlaid(valueOr(getCachedFeatureFlags()), *values);
            featureFlagPayloads_ = overlaid(valueOr(getCachedFeatureFlagPayload()), *payloads);
        }
        storage_->setJson(Key::enabledFeatureFlags, *featureFlags_);
        storage_->setJson(Key::enabledFeatureFlagPayloads, *featureFlagPayloads_);
        result = *featureFlags_;
    }
    finish(result);
}

void OrbitRemoteConfig::normalizeResponse(Json& answer) {
    const auto* flags = member(answer, "flags");
    if (!flags || !flags->is_object()) return;
    Json values = Json::object();
    Json payloads = Json::object();
    for (const auto& [key, entry] : flags->items()) {
        if (!entry.is_object()) continue;
        bool takesPayload = false;
        if (const auto* variant = member(entry, "variant"); variant && variant->is_string()) {
            values[key] = *variant;
            takesPayload = true;
        } else if (const auto* enabled = member(entry, "enabled"); enabled && enabled->is_boolean()) {
            values[key] = *enabled;
            takesPayload = enabled->get<bool>();
        }
        if (!takesPayload) continue;
        if (const auto* metadata = member(entry, "metadata"); metadata && metadata->is_object())
            if (const auto* payload = member(*metadata, "payload")) payloads[key] = *payload;
    }
    answer["featureFlags"] = std::move(values);
    answer["featureFlagPayloads"] = std::move(payloads);
}

void OrbitRemoteConfig::notifyFeatureFlags(const std::optional<Json>& featureFlags) {
    mainQueue_([self = shared_from_this(), featureFlags] {
        self->onFeatureFlagsLoaded.invoke(featureFlags);
        if (self->postNotification_) self->postNotification_(didReceiveFeatureFlags);
    });
}

void OrbitRemoteConfig::notifyFeatureFlagsAndRelease(const std::optional<Json>& featureFlags) {
    notifyFeatureFlags(featureFlags);
    std::optional<PendingFeatureFlagsRequest> pending;
    {
        std::lock_guard lock(loadingFeatureFlagsLock_);
        loadingFeatureFlags_ = false;
        pending = std::exchange(pendingFeatureFlagsRequest_, std::nullopt);
    }
    if (pending) loadFeatureFlags(std::move(*pending));
}

std::optional<Json> OrbitRemoteConfig::getFeatureFlags() {
    std::lock_guard lock(featureFlagsLock_);
    const auto* values = getCachedFeatureFlags();
    return values ? std::optional<Json>(*values) : std::nullopt;
}

std::optional<OrbitFeatureFlagResult> OrbitRemoteConfig::getFeatureFlagResult(const std::string& key) {
    std::optional<Json> value;
    std::optional<Json> payload;
    {
        std::lock_guard lock(featureFlagsLock_);
        if (const auto* found = member(getCachedFeatureFlags(), key)) value = *found;
        if (const auto* found = member(getCachedFeatureFlagPayload(), key)) payload = *found;
    }
    return OrbitFeatureFlagResult::make(key, value, payload);
}

std::optional<Json> OrbitRemoteConfig::getFeatureFlagDetails(const std::string& key) {
    std::lock_guard lock(featureFlagsLock_);
    const auto* details = member(getCachedFlags(), key);
    return details ? std::optional<Json>(*details) : std::nullopt;
}

std::optional<std::string> OrbitRemoteConfig::lastRequestId() {
    std::lock_guard lock(featureFlagsLock_);
    return requestId_ ? requestId_ : storage_->getString(Key::requestId);
}

std::optional<int64_t> OrbitRemoteConfig::lastEvaluatedAt() {
    std::lock_guard lock(featureFlagsLock_);
    return evaluatedAt_ ? evaluatedAt_ : storage_->getInt(Key::evaluatedAt);
}

std::map<std::string, std::string> OrbitRemoteConfig::getGroups() {
    std::lock_guard lock(featureFlagsLock_);
    const auto stored = storage_->getJson(Key::groups);
    if (!stored || !isObjectOf(*stored, &Json::is_string)) return {};
    return stored->get<std::map<std::string, std::string>>();
}

// Targeting properties

void OrbitRemoteConfig::loadCachedPropertiesForFlags() {
    {
        const auto stored = storage_->getJson(Key::personPropertiesForFlags);
        std::lock_guard lock(personPropertiesForFlagsLock_);
        if (stored && stored->is_object()) personPropertiesForFlags_ = *stored;
    }
    const auto stored = storage_->getJson(Key::groupPropertiesForFlags);
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    if (stored && isObjectOf(*stored, &Json::is_object))
        groupPropertiesForFlags_ = stored->get<std::map<std::string, Json>>();
}

Json OrbitRemoteConfig::getPersonPropertiesForFlags() {
    Json properties = config_->setDefaultPersonProperties && getDefaultPersonProperties_ ? getDefaultPersonProperties_()
                                                                                         : Json::object();
    if (!properties.is_object()) properties = Json::object();
    std::lock_guard lock(personPropertiesForFlagsLock_);
    properties.update(personPropertiesForFlags_);
    return properties;
}

std::optional<std::map<std::string, Json>> OrbitRemoteConfig::getGroupPropertiesForFlags() {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    if (groupPropertiesForFlags_.empty()) return std::nullopt;
    return groupPropertiesForFlags_;
}

void OrbitRemoteConfig::setPersonPropertiesForFlags(const Json& properties) {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    if (properties.is_object()) personPropertiesForFlags_.update(properties);
    storage_->setJson(Key::personPropertiesForFlags, personPropertiesForFlags_);
}

void OrbitRemoteConfig::resetPersonPropertiesForFlags() {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    personPropertiesForFlags_ = Json::object();
    storage_->setJson(Key::personPropertiesForFlags, personPropertiesForFlags_);
}

void OrbitRemoteConfig::setGroupPropertiesForFlags(const std::string& groupType, const Json& properties) {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    auto& group = groupPropertiesForFlags_[groupType];
    if (!group.is_object()) group = Json::object();
    if (properties.is_object()) group.update(properties);
    storage_->setJson(Key::groupPropertiesForFlags, Json(groupPropertiesForFlags_));
}

void OrbitRemoteConfig::resetGroupPropertiesForFlags(const std::optional<std::string>& groupType) {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    if (groupType)
        groupPropertiesForFlags_.erase(*groupType);
    else
        groupPropertiesForFlags_.clear();
    storage_->setJson(Key::groupPropertiesForFlags,
                      groupPropertiesForFlags_.empty() ? Json::object() : Json(groupPropertiesForFlags_));
}

// Clearing

void OrbitRemoteConfig::clearFeatureFlags() {
    std::lock_guard lock(featureFlagsLock_);
    flags_ = Json::object();
    featureFlags_ = Json::object();
    featureFlagPayloads_ = Json::object();
    storage_->setJson(Key::flags, *flags_);
    storage_->setJson(Key::enabledFeatureFlags, *featureFlags_);
    storage_->setJson(Key::enabledFeatureFlagPayloads, *featureFlagPayloads_);
    requestId_.reset();
    evaluatedAt_.reset();
    storage_->remove(Key::requestId);
    storage_->remove(Key::evaluatedAt);
}

void OrbitRemoteConfig::clear() {
    clearFeatureFlags();
    {
        std::lock_guard lock(sessionReplayLock_);
        sessionReplayFlagActive_ = false;
        recordingSampleRate_.reset();
    }
    {
        std::lock_guard lock(errorTrackingLock_);
        autoCaptureExceptions_ = false;
    }
    resetPersonPropertiesForFlags();
    {
        std::lock_guard lock(groupPropertiesForFlagsLock_);
        groupPropertiesForFlags_.clear();
        storage_->setJson(Key::groupPropertiesForFlags, Json::object());
    }
    {
        std::lock_guard lock(remoteConfigLock_);
        remoteConfig_.reset();
        remoteConfigDidFetch_ = false;
    }
    storage_->remove(Key::sessionReplay);
}

// Caches

const Json* OrbitRemoteConfig::cachedObject(std::optional<Json>& cache, OrbitStorage::StorageKey key) {
    if (!cache) {
        auto stored = storage_->getJson(key);
        if (stored && stored->is_object()) cache = std::move(*stored);
    }
    return cache ? &*cache : nullptr;
}

const Json* OrbitRemoteConfig::getCachedRemoteConfig() { return cachedObject(remoteConfig_, Key::remoteConfig); }
const Json* OrbitRemoteConfig::getCachedFlags() { return cachedObject(flags_, Key::flags); }
const Json* OrbitRemoteConfig::getCachedFeatureFlags() { return cachedObject(featureFlags_, Key::enabledFeatureFlags); }
const Json* OrbitRemoteConfig::getCachedFeatureFlagPayload() {
    return cachedObject(featureFlagPayloads_, Key::enabledFeatureFlagPayloads);
}

}  // namespace orbit
