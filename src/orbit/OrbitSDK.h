#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitHost.h"
#include "orbit/OrbitIntegration.h"
#include "orbit/OrbitSessionManager.h"
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

    std::shared_ptr<OrbitLogger> logger();
    void setLogger(std::shared_ptr<OrbitLogger> logger);

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
    void uninstallIntegrations();
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
    void enqueue(const std::shared_ptr<OrbitEvent>& event);
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

    std::shared_ptr<OrbitConfig> config_;
    const OrbitHost host_;
    bool enabled_ = false;
    std::recursive_mutex setupLock_;
    std::mutex optOutLock_;
    std::mutex groupsLock_;
    std::mutex personPropsLock_;
    std::mutex cachedPersonPropertiesLock_;
    std::optional<std::string> cachedPersonPropertiesHash_;
    std::mutex lastScreenLock_;
    std::optional<std::string> lastScreenName_;

    // Declared before the queues that use them, so that the queues go first.
    std::shared_ptr<OrbitStorage> storage_;
    std::shared_ptr<OrbitApi> api_;
    std::unique_ptr<Reachability> reachability_;
    std::shared_ptr<OrbitRemoteConfig> remoteConfig_;
    std::unique_ptr<OrbitContext> context_;
    std::shared_ptr<OrbitQueue<OrbitEvent>> queue_;
    std::shared_ptr<OrbitReplayQueue> replayQueue_;
    std::shared_ptr<OrbitQueue<OrbitLogRecord>> logsQueue_;
    std::vector<std::shared_ptr<OrbitIntegration>> installedIntegrations_;
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
