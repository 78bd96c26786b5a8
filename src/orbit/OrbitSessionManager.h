#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "orbit/Utils/Clock.h"
#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

class AppLifecyclePublishing;
class OrbitConfig;

// The current analytics session: its id, when it was set and when it last saw activity. A session
// is replaced after more than 30 minutes without activity or more than 24 hours of age; activity is
// the start and the application's moves between foreground and background. Each decision and its
// update happen in one hold of the lock, so threads that read one expired id replace it once.
// Subscribers of onSessionIdChanged hear of every change, after the lock is released.
class OrbitSessionManager {
public:
    enum class SessionIDChangeReason {
        sessionIdEmpty,
        sessionStart,
        sessionEnd,
        sessionReset,
        sessionTimeout,
        sessionPastMaximumLength,
        customSessionId,
    };
    static const char* rawValue(SessionIDChangeReason reason);
    static const char* caseName(SessionIDChangeReason reason);
    static std::optional<SessionIDChangeReason> reasonFromRawValue(std::string_view raw);

    static constexpr double sessionActivityThreshold = 1800.0;
    static constexpr double sessionMaxLengthThreshold = 86400.0;

    // The life-cycle publisher is the process-wide one unless one is given.
    explicit OrbitSessionManager(Now now = systemNow, AppLifecyclePublishing* publisher = nullptr);

    // Moves the manager to the foreground and follows the application's life cycle.
    void setup(std::shared_ptr<OrbitConfig> config);
    void startSession();
    void endSession();
    void resetSession();
    void setSessionId(const std::string& id);
    // resetSession, then stops following the life cycle until the next setup.
    void reset();
    // The id for an event at the given time; readOnly never starts, replaces or clears one.
    std::optional<std::string> getSessionId(OrbitDate at, bool readOnly);
    bool isAppInBackgroundSnapshot();

    OrbitMulticastCallback<std::monostate> onSessionIdChanged;

private:
    struct Change {
        std::optional<std::string> id;
        SessionIDChangeReason reason;
    };
    void setSessionIdLocked(std::optional<std::string> id, std::optional<double> at);  // with sessionLock_ held
    void announce(const Change& change);
    void touchSession();
    void didBecomeActive();
    void didEnterBackground();
    void dropRegistrations();

    const Now now_;
    AppLifecyclePublishing* const publisher_;
    std::mutex sessionLock_;
    std::optional<std::string> sessionId_;
    std::optional<double> sessionStartTimestamp_;
    std::optional<double> sessionActivityTimestamp_;
    bool isAppInBackground_ = true;

    std::mutex tokensLock_;
    std::unique_ptr<RegistrationToken> didBecomeActiveToken_;
    std::unique_ptr<RegistrationToken> didEnterBackgroundToken_;
    // Shared with the life-cycle callbacks, which must not reach a manager that is gone.
    std::shared_ptr<OrbitSessionManager*> self_ = std::make_shared<OrbitSessionManager*>(this);
};

}  // namespace orbit
