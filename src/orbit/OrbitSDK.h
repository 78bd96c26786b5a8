#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/ErrorTracking/Models/OrbitTracedException.h"
#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitContext.h"
#include "orbit/OrbitHost.h"
#include "orbit/OrbitIntegration.h"
#include "orbit/Flags/OrbitFeatureFlagResult.h"
#include "orbit/OrbitDeepLinkHelper.h"
#include "orbit/OrbitSessionManager.h"
#include "orbit/Utils/AtomicShared.h"
#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

class OrbitApi;
class OrbitContext;
class OrbitLogger;
class OrbitLogRecord;
class OrbitRemoteConfig;
class OrbitReplayQueue;
class OrbitStorage;
class Reachability;
template <typename Record>
class OrbitQueue;

// The analytics client's entry point. It is configured once, then set up: set-up builds and starts
// every collaborator (storage, transport, identity, remote configuration, reachability, context,
// the three send queues, session, logger, integrations). Before set-up, and after a refused one,
// every operation writes one debug line and does nothing. Owned by shared_ptr: the callbacks it
// hands out hold it weakly. Never throws to its caller.
class OrbitSDK : public std::enable_shared_from_this<OrbitSDK> {
public:
    static constexpr const char* didStartNotification = "OrbitDidStart";
    static constexpr const char* setupGuardMessage =
        "Orbit method was called without `setup` being complete. Call wil be ignored.";

    // Starts nothing. What the host leaves out of host is filled from OrbitHost::standard().
    static std::shared_ptr<OrbitSDK> make(std::shared_ptr<OrbitConfig> config, OrbitHost host);
    // The process's default instance, with an empty project token until set up; lives as long as
    // the process.
    static std::shared_ptr<OrbitSDK> shared();

    ~OrbitSDK();
    OrbitSDK(const OrbitSDK&) = delete;
    OrbitSDK& operator=(const OrbitSDK&) = delete;

    // Switches the debug log, once set up.
    void debug(bool enabled);
    void setup(std::shared_ptr<OrbitConfig> config);
    // A separate instance for another configuration, set up at once (when the token is usable).
    static std::shared_ptr<OrbitSDK> with(std::shared_ptr<OrbitConfig> config, OrbitHost host = {});

    // Collection off and on; the choice is stored and outlives the process. Opted out, the
    // integrations are removed and every collecting operation drops its input.
    void optIn();
    void optOut();
    // True also when not set up.
    bool isOptOut();
    // Tears the instance down without flushing; it may be set up again afterwards.
    void close();

    // "" when there is none.
    std::string getDistinctId();
    std::string getAnonymousId();
    std::string getDeviceId();
    // Never starts, rotates or touches a session.
    std::optional<std::string> getSessionId();
    void startSession();
    void endSession();
    // Asks every queue to send now.
    void flush();

    using Properties = std::optional<nlohmann::json>;  // an object, or nothing
    using Groups = std::optional<std::map<std::string, std::string>>;

    // One capture in many forms: what a form leaves out is absent; the distinct id defaults to the
    // current one, the timestamp to now. Runs on the caller's thread up to the event's file.
    void capture(const std::string& event);
    void capture(const std::string& event, const Properties& properties);
    void capture(const std::string& event, const Properties& properties, const Properties& userProperties);
    void capture(const std::string& event, const Properties& properties, const Properties& userProperties,
                 const Properties& userPropertiesSetOnce);
    void capture(const std::string& event, const Properties& properties, const Properties& userProperties,
                 const Properties& userPropertiesSetOnce, const Groups& groups);
    void capture(const std::string& event, const std::optional<std::string>& distinctId, const Properties& properties,
                 const Properties& userProperties, const Properties& userPropertiesSetOnce, const Groups& groups);
    void capture(const std::string& event, const std::optional<std::string>& distinctId, const Properties& properties,
                 const Properties& userProperties, const Properties& userPropertiesSetOnce, const Groups& groups,
                 const std::optional<OrbitDate>& timestamp);
    void screen(const std::string& title, const Properties& properties = std::nullopt);

    void identify(const std::string& distinctId, const Properties& userProperties = std::nullopt,
                  const Properties& userPropertiesSetOnce = std::nullopt);
    void alias(const std::string& alias);
    void setPersonProperties(const Properties& userPropertiesToSet,
                             const Properties& userPropertiesToSetOnce = std::nullopt);
    // Forgets the person, groups, registered properties and flags; the device id and the queued
    // events stay.
    void reset();
    // Properties that every later event carries, ahead of its own.
    void registerProperties(const nlohmann::json& properties);
    void unregister(const std::string& key);

    void group(const std::string& type, const std::string& key, const Properties& groupProperties = std::nullopt);

    // Events that passed the before-send hooks; nothing when a hook dropped it.
    std::shared_ptr<OrbitEvent> buildEvent(const std::string& event, const std::string& distinctId,
                                           nlohmann::json properties, OrbitDate timestamp);

    // Feature flags as the remote configuration last loaded them. Reading reports
    // "$feature_flag_called" once per flag and value (unless told not to, or the configuration
    // says so); the payload never reports.
    std::optional<OrbitFeatureFlagResult> getFeatureFlagResult(const std::string& key);
    std::optional<OrbitFeatureFlagResult> getFeatureFlagResult(const std::string& key, bool sendFeatureFlagEvent);
    // The variant text, else the Boolean.
    std::optional<nlohmann::json> getFeatureFlag(const std::string& key);
    std::optional<nlohmann::json> getFeatureFlag(const std::string& key, bool sendFeatureFlagEvent);
    bool isFeatureEnabled(const std::string& key);
    bool isFeatureEnabled(const std::string& key, bool sendFeatureFlagEvent);
    std::optional<nlohmann::json> getFeatureFlagPayload(const std::string& key);
    void setPersonPropertiesForFlags(const Properties& properties, bool reloadFeatureFlags = true);
    void resetPersonPropertiesForFlags(bool reloadFeatureFlags = true);
    void setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties,
                                    bool reloadFeatureFlags = true);
    // All group types.
    void resetGroupPropertiesForFlags(bool reloadFeatureFlags = true);
    void resetGroupPropertiesForFlags(const std::string& groupType, bool reloadFeatureFlags = true);
    void reloadFeatureFlags(std::function<void()> completion = nullptr);
    void captureFeatureView(const std::string& flag, const std::optional<std::string>& flagVariant = std::nullopt);
    void captureFeatureInteraction(const std::string& flag,
                                   const std::optional<std::string>& flagVariant = std::nullopt);

    // Each link that opened the application as a "Deep Link Opened" event; file URLs in a list,
    // text that is not a URL and activities other than web browsing are no links.
    void captureDeepLink(const std::optional<std::string>& url, const std::optional<std::string>& referrer);
    void captureDeepLink(const std::string& url);
    void captureDeepLink(const std::vector<std::string>& urls);
    void captureDeepLink(const OrbitUserActivity& userActivity);

    // Handled errors as "$exception" events; the caller's properties override the computed ones.
    // An error and what is nested under it carry the caller's stack; a traced exception carries the
    // stack of the place that made it.
    void captureException(const std::exception& error, const Properties& properties = std::nullopt);
    void captureException(const std::error_code& error, const Properties& properties = std::nullopt);
    void captureException(const OrbitTracedException& exception, const Properties& properties = std::nullopt);

    std::shared_ptr<OrbitLogger> logger();
    void setLogger(std::shared_ptr<OrbitLogger> logger);

    // The host reports the size of its focused window's screen, in logical pixels; nothing
    // without a focused window. Later events carry it.
    void setScreenSize(std::optional<OrbitScreenSize> size);

    // The configuration in force: the one set up with, or a blank one before set-up and after close().
    std::shared_ptr<OrbitConfig> config() const { return config_.load(); }
    const OrbitHost& host() const { return host_; }

    // Subscribers hear of every event handed to a queue.
    OrbitMulticastCallback<const OrbitEvent&> onEventCaptured;

    // A token names the client's folder, so it must be one path component: not empty, without
    // "/" or NUL, and neither "." nor "..".
    static bool isUsableProjectToken(const std::string& token);

private:
    OrbitSDK(std::shared_ptr<OrbitConfig> config, OrbitHost host);

    // True when set up; otherwise writes the guard line.
    bool isSetUp();
    void setupBody(const std::shared_ptr<OrbitConfig>& config);  // with setupLock_ held
    void installIntegrations();                                  // with setupLock_ held
    void uninstallIntegrations();                                // takes setupLock_
    void notifyContextDidChange();
    nlohmann::json getDefaultPersonProperties();

    nlohmann::json buildProperties(const std::string& distinctId, const Properties& properties,
                                   const Properties& userProperties, const Properties& userPropertiesSetOnce,
                                   const Groups& groups, bool appendSharedProps,
                                   const std::optional<OrbitDate>& timestamp);
    nlohmann::json dynamicContext();
    bool hasPersonProcessing();
    bool requirePersonProcessing(const std::string& functionName);
    bool isOptedOut();  // and says so
    // Drops the event when close() ran since generation was read: it may have been built from a
    // half torn-down client (no context, no identity, no session).
    void enqueue(const std::shared_ptr<OrbitEvent>& event, uint64_t generation);
    bool captureBuilt(const std::string& name, nlohmann::json properties);

    nlohmann::json getRegisteredProperties();
    void setPersonPropertiesForFlagsIfNeeded(const Properties& userProperties, const Properties& userPropertiesSetOnce);
    std::string getPersonPropertiesHash(const std::string& distinctId, const Properties& userPropertiesToSet,
                                        const Properties& userPropertiesToSetOnce);

    std::map<std::string, std::string> getGroups();
    std::map<std::string, std::string> groups(const std::map<std::string, std::string>& newGroups);
    void groupIdentify(const std::string& type, const std::string& key, const Properties& groupProperties);
    void setGroupPropertiesForFlagsIfNeeded(const std::string& type, const Properties& groupProperties);
    void reportFeatureFlagCalled(const std::string& flagKey, const std::optional<nlohmann::json>& flagValue);
    std::optional<OrbitFeatureFlagResult> featureFlagResult(const std::string& key, std::optional<bool> sendEvent);
    void captureFeatureUse(const std::string& event, const std::string& callName, const std::string& flag,
                           const std::optional<std::string>& flagVariant);

    // Set-up and close() replace these while captures on other threads read them: a reader takes
    // one snapshot of each and keeps what it took alive. config_ is never null.
    AtomicShared<OrbitConfig> config_;
    const OrbitHost host_;
    bool enabled_ = false;             // with setupLock_ held
    std::atomic<uint64_t> closes_{0};  // read before the set-up guard by whatever builds an event
    std::recursive_mutex setupLock_;
    std::mutex optOutLock_;
    std::mutex groupsLock_;
    std::mutex personPropsLock_;
    std::mutex cachedPersonPropertiesLock_;
    std::optional<std::string> cachedPersonPropertiesHash_;
    std::mutex lastScreenLock_;
    std::optional<std::string> lastScreenName_;
    std::mutex flagCallReportedLock_;
    std::map<std::string, std::vector<std::optional<nlohmann::json>>> flagCallReported_;

    AtomicShared<OrbitStorage> storage_;
    AtomicShared<OrbitApi> api_;
    AtomicShared<Reachability> reachability_;
    AtomicShared<OrbitRemoteConfig> remoteConfig_;
    AtomicShared<OrbitContext> context_;
    AtomicShared<OrbitQueue<OrbitEvent>> queue_;
    AtomicShared<OrbitReplayQueue> replayQueue_;
    AtomicShared<OrbitQueue<OrbitLogRecord>> logsQueue_;
    std::vector<std::shared_ptr<OrbitIntegration>> installedIntegrations_;  // with setupLock_ held
    std::unique_ptr<OrbitSessionManager> sessionManager_;
    std::unique_ptr<RegistrationToken> sessionIdChangedToken_;
    std::unique_ptr<RegistrationToken> didEnterBackgroundToken_;
    std::mutex loggerLock_;
    std::shared_ptr<OrbitLogger> logger_;

    // Log capture (defined in Logs/OrbitSDK+Logs.cpp): each form ends in captureLogInternal.
public:
    void captureLog(const std::string& body);
    void captureLog(const std::string& body, OrbitLogSeverity level);
    void captureLog(const std::string& body, OrbitLogSeverity level, const std::optional<nlohmann::json>& attributes);
    void captureLog(const std::string& body, OrbitLogSeverity level, const std::optional<nlohmann::json>& attributes,
                    const std::optional<std::string>& traceId, const std::optional<std::string>& spanId,
                    std::optional<int64_t> traceFlags);

private:
    friend class OrbitLogger;
    // Queues the event of a crash of an earlier run as a capture would, with the crash's own time.
    friend class OrbitErrorTrackingAutoCaptureIntegration;
    void captureLogInternal(const std::string& body, OrbitLogSeverity level,
                            const std::optional<nlohmann::json>& attributes, std::optional<std::string> traceId,
                            std::optional<std::string> spanId, std::optional<int64_t> traceFlags);
    // What a log record carries of the client's state, each read on its own.
    std::optional<std::string> logSessionId();
    std::optional<std::string> logScreenName();
    std::string logAppState();
    std::vector<std::string> logFeatureFlagKeys(const std::shared_ptr<OrbitRemoteConfig>& remoteConfig);
};

}  // namespace orbit
