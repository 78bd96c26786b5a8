#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "orbit/Flags/OrbitFeatureFlagResult.h"
#include "orbit/Queue/OrbitDispatchQueue.h"
#include "orbit/OrbitApi.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

// The name of the announcement made on the main queue after every feature-flags load.
inline constexpr const char* didReceiveFeatureFlags = "OrbitDidReceiveFeatureFlags";

// The project's remote configuration and the feature flags evaluated for the current user, kept in
// memory and on disk. Construction restores what earlier runs stored and starts one fetch of the
// configuration, after which the flags are loaded. At most one flags request is in flight and at
// most one waits; answers are handled on the queue "com.orbit.RemoteConfig". Never throws: every
// failure is a debug-log line and callbacks that receive nothing.
class OrbitRemoteConfig : public std::enable_shared_from_this<OrbitRemoteConfig> {
public:
    using Json = nlohmann::json;
    using FlagsCallback = std::function<void(const std::optional<Json>& featureFlags)>;
    using GetDefaultPersonProperties = std::function<Json()>;
    using FeatureFlagCalledCallback = std::function<void(const std::string& flagKey, const std::optional<Json>& value)>;
    // Runs a block later on the program's main thread.
    using MainQueue = std::function<void(std::function<void()>)>;
    // Posts an announcement by name; called on the main queue.
    using PostNotification = std::function<void(const std::string& name)>;

    static constexpr const char* hasFeatureFlagsKey = "hasFeatureFlags";
    static constexpr const char* quotaLimitsURL = "https://orbit-analytics.sablix.app/docs/billing/limits-alerts";

    // Blocks waiting on the queue or on an answer keep the instance alive until they have run.
    static std::shared_ptr<OrbitRemoteConfig> create(std::shared_ptr<OrbitConfig> config,
                                                     std::shared_ptr<OrbitStorage> storage,
                                                     std::shared_ptr<OrbitApi> api,
                                                     GetDefaultPersonProperties getDefaultPersonProperties,
                                                     FeatureFlagCalledCallback featureFlagCalledCallback,
                                                     MainQueue mainQueue, PostNotification postNotification);

    OrbitRemoteConfig(const OrbitRemoteConfig&) = delete;
    OrbitRemoteConfig& operator=(const OrbitRemoteConfig&) = delete;

    // Returns at once; the callback gets the resulting flag values.
    void reloadFeatureFlags(FlagsCallback callback = nullptr);

    std::optional<Json> getFeatureFlags();
    std::optional<OrbitFeatureFlagResult> getFeatureFlagResult(const std::string& key);
    std::optional<Json> getFeatureFlagDetails(const std::string& key);
    std::optional<std::string> lastRequestId();
    std::optional<int64_t> lastEvaluatedAt();
    bool isAutocaptureExceptionsEnabled();

    void setPersonPropertiesForFlags(const Json& properties);
    void resetPersonPropertiesForFlags();
    void setGroupPropertiesForFlags(const std::string& groupType, const Json& properties);
    // All group types when none is given.
    void resetGroupPropertiesForFlags(const std::optional<std::string>& groupType);
    Json getPersonPropertiesForFlags();

    // Forgets flags, switches and targeting properties; the stored configuration stays.
    void clear();

    OrbitMulticastCallback<std::optional<Json>> onRemoteConfigLoaded;
    OrbitMulticastCallback<std::optional<Json>> onFeatureFlagsLoaded;

private:
    struct PendingFeatureFlagsRequest {
        std::string distinctId;
        std::optional<std::string> anonymousId;
        std::optional<std::string> deviceId;
        std::map<std::string, std::string> groups;
        FlagsCallback callback;
    };
    using RemoteConfigCallback = std::function<void(const std::optional<Json>&)>;

    OrbitRemoteConfig(std::shared_ptr<OrbitConfig> config, std::shared_ptr<OrbitStorage> storage,
                      std::shared_ptr<OrbitApi> api, GetDefaultPersonProperties getDefaultPersonProperties,
                      FeatureFlagCalledCallback featureFlagCalledCallback, MainQueue mainQueue,
                      PostNotification postNotification);

    void preloadRemoteConfig();
    void reloadRemoteConfig(RemoteConfigCallback callback);
    void onPreloadedRemoteConfig(const std::optional<Json>& document);
    void preloadFeatureFlags();
    void loadFeatureFlags(PendingFeatureFlagsRequest request);
    void handleFlagsAnswer(std::optional<Json> answer, const FlagsCallback& callback);
    static void normalizeResponse(Json& answer);
    void processErrorTrackingConfig(const Json& document);
    void preloadErrorTrackingConfig();
    void preloadSessionReplay();
    bool isRecordingActive(const Json& featureFlags, const Json& sessionReplay);
    void notifyFeatureFlags(const std::optional<Json>& featureFlags);
    void notifyFeatureFlagsAndRelease(const std::optional<Json>& featureFlags);
    void clearFeatureFlags();
    void loadCachedPropertiesForFlags();
    std::map<std::string, std::string> getGroups();
    std::optional<std::map<std::string, Json>> getGroupPropertiesForFlags();

    // Readers of the caches, each filling its cache from storage when absent; callers hold
    // featureFlagsLock_ (remoteConfigLock_ for the configuration).
    // Each returns nothing when there is no value, else the cache itself.
    const Json* getCachedRemoteConfig();
    const Json* getCachedFlags();
    const Json* getCachedFeatureFlags();
    const Json* getCachedFeatureFlagPayload();
    const Json* cachedObject(std::optional<Json>& cache, OrbitStorage::StorageKey key);

    const std::shared_ptr<OrbitConfig> config_;
    const std::shared_ptr<OrbitStorage> storage_;
    const std::shared_ptr<OrbitApi> api_;
    const GetDefaultPersonProperties getDefaultPersonProperties_;
    const FeatureFlagCalledCallback featureFlagCalledCallback_;
    const MainQueue mainQueue_;
    const PostNotification postNotification_;

    std::mutex loadingFeatureFlagsLock_;
    bool loadingFeatureFlags_ = false;
    std::optional<PendingFeatureFlagsRequest> pendingFeatureFlagsRequest_;

    std::mutex featureFlagsLock_;
    std::optional<Json> flags_;
    std::optional<Json> featureFlags_;
    std::optional<Json> featureFlagPayloads_;
    std::optional<std::string> requestId_;
    std::optional<int64_t> evaluatedAt_;

    std::mutex sessionReplayLock_;
    bool sessionReplayFlagActive_ = false;
    std::optional<double> recordingSampleRate_;
    std::optional<double> recordingMinimumDuration_;

    std::mutex errorTrackingLock_;
    bool autoCaptureExceptions_ = false;

    std::mutex remoteConfigLock_;
    std::mutex loadingRemoteConfigLock_;
    bool loadingRemoteConfig_ = false;
    std::optional<Json> remoteConfig_;
    std::atomic<bool> remoteConfigDidFetch_ = false;

    std::mutex personPropertiesForFlagsLock_;
    Json personPropertiesForFlags_ = Json::object();
    std::mutex groupPropertiesForFlagsLock_;
    std::map<std::string, Json> groupPropertiesForFlags_;

    OrbitDispatchQueue dispatchQueue_{"com.orbit.RemoteConfig"};
};

}  // namespace orbit
