#include "orbit/OrbitSessionManager.h"

#include "orbit/DI.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"

namespace orbit {
namespace {

// A host SDK that wraps this client and keeps its own sessions.
bool hostManagesSessions() { return orbitSdkName() == "orbit-react-native"; }

double secondsSince1970(OrbitDate date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

// A clock that moved backwards never counts as elapsed time.
bool exceeded(double now, const std::optional<double>& since, double threshold) {
    if (!since) return false;
    const double elapsed = now - *since;
    return elapsed > 0 && elapsed > threshold;
}

std::string newId() { return TimeBasedEpochGenerator::shared().v7().toString(); }

}  // namespace

using Reason = OrbitSessionManager::SessionIDChangeReason;

const char* OrbitSessionManager::rawValue(SessionIDChangeReason reason) {
    switch (reason) {
        case Reason::sessionIdEmpty: return "Session id was empty";
        case Reason::sessionStart: return "Session started";
        case Reason::sessionEnd: return "Session ended";
        case Reason::sessionReset: return "Session was reset";
        case Reason::sessionTimeout: return "Session timed out";
        case Reason::sessionPastMaximumLength: return "Session past maximum length";
        case Reason::customSessionId: return "Custom session set";
    }
    return "";
}

const char* OrbitSessionManager::caseName(SessionIDChangeReason reason) {
    switch (reason) {
        case Reason::sessionIdEmpty: return "sessionIdEmpty";
        case Reason::sessionStart: return "sessionStart";
        case Reason::sessionEnd: return "sessionEnd";
        case Reason::sessionReset: return "sessionReset";
        case Reason::sessionTimeout: return "sessionTimeout";
        case Reason::sessionPastMaximumLength: return "sessionPastMaximumLength";
        case Reason::customSessionId: return "customSessionId";
    }
    return "";
}

std::optional<Reason> OrbitSessionManager::reasonFromRawValue(std::string_view raw) {
    for (const auto reason : {Reason::sessionIdEmpty, Reason::sessionStart, Reason::sessionEnd, Reason::sessionReset,
                              Reason::sessionTimeout, Reason::sessionPastMaximumLength, Reason::customSessionId})
        if (raw == rawValue(reason)) return reason;
    return std::nullopt;
}

OrbitSessionManager::OrbitSessionManager(Now now, AppLifecyclePublishing* publisher)
    : now_(std::move(now)), publisher_(publisher) {}

void OrbitSessionManager::setup(std::shared_ptr<OrbitConfig>) {
    dropRegistrations();
    {
        std::lock_guard lock(sessionLock_);
        isAppInBackground_ = false;
    }
    auto& publisher = publisher_ ? *publisher_ : DI::main().appLifecyclePublisher();
    const std::weak_ptr<OrbitSessionManager*> weak = self_;
    auto active = publisher.onDidBecomeActive.subscribe([weak](std::monostate) {
        if (const auto self = weak.lock()) (*self)->didBecomeActive();
    });
    auto background = publisher.onDidEnterBackground.subscribe([weak](std::monostate) {
        if (const auto self = weak.lock()) (*self)->didEnterBackground();
    });
    std::lock_guard lock(tokensLock_);
    didBecomeActiveToken_ = std::move(active);
    didEnterBackgroundToken_ = std::move(background);
}

void OrbitSessionManager::dropRegistrations() {
    std::unique_ptr<RegistrationToken> active, background;
    {
        std::lock_guard lock(tokensLock_);
        active = std::move(didBecomeActiveToken_);
        background = std::move(didEnterBackgroundToken_);
    }
}

void OrbitSessionManager::setSessionIdLocked(std::optional<std::string> id, std::optional<double> at) {
    sessionId_ = std::move(id);
    sessionStartTimestamp_ = at;
    sessionActivityTimestamp_ = at;
}

void OrbitSessionManager::announce(const Change& change) {
    onSessionIdChanged.invoke({});
    if (change.id)
        hedgeLog("New session id created " + *change.id + " (" + caseName(change.reason) + ")");
    else
        hedgeLog(std::string("Session id cleared - reason: (") + caseName(change.reason) + ")");
}

void OrbitSessionManager::startSession() {
    if (hostManagesSessions()) return;
    Change change{newId(), Reason::sessionStart};
    {
        std::lock_guard lock(sessionLock_);
        setSessionIdLocked(change.id, secondsSince1970(now_()));
    }
    announce(change);
}

void OrbitSessionManager::endSession() {
    if (hostManagesSessions()) return;
    {
        std::lock_guard lock(sessionLock_);
        setSessionIdLocked(std::nullopt, std::nullopt);
    }
    announce({std::nullopt, Reason::sessionEnd});
}

void OrbitSessionManager::resetSession() {
    if (hostManagesSessions()) return;
    Change change{newId(), Reason::sessionReset};
    {
        std::lock_guard lock(sessionLock_);
        setSessionIdLocked(change.id, secondsSince1970(now_()));
    }
    announce(change);
}

void OrbitSessionManager::setSessionId(const std::string& id) {
    {
        std::lock_guard lock(sessionLock_);
        setSessionIdLocked(id, secondsSince1970(now_()));
    }
    announce({id, Reason::customSessionId});
}

void OrbitSessionManager::reset() {
    resetSession();
    dropRegistrations();
}

bool OrbitSessionManager::isAppInBackgroundSnapshot() {
    std::lock_guard lock(sessionLock_);
    return isAppInBackground_;
}

std::optional<std::string> OrbitSessionManager::getSessionId(OrbitDate at, bool readOnly) {
    const double now = secondsSince1970(at);
    std::optional<Change> change;
    std::optional<std::string> result;
    {
        std::lock_guard lock(sessionLock_);
        result = sessionId_;
        if (readOnly || hostManagesSessions()) return result;
        const bool empty = !sessionId_ || sessionId_->empty();
        if (empty && !isAppInBackground_) {
            change = Change{newId(), Reason::sessionIdEmpty};
        } else if (exceeded(now, sessionActivityTimestamp_, sessionActivityThreshold)) {
            change = Change{std::nullopt, Reason::sessionTimeout};
        } else if (exceeded(now, sessionStartTimestamp_, sessionMaxLengthThreshold)) {
            change = Change{std::nullopt, Reason::sessionPastMaximumLength};
        }
        if (!change) return result;
        // An expired session rotates in the foreground (only when it has an id) and ends in the
        // background.
        if (change->reason != Reason::sessionIdEmpty) {
            if (isAppInBackground_) {
                setSessionIdLocked(std::nullopt, std::nullopt);
            } else {
                if (empty) return result;
                change->id = newId();
            }
        }
        if (change->id) setSessionIdLocked(change->id, now);
        result = change->id;
    }
    announce(*change);
    return result;
}

void OrbitSessionManager::touchSession() {
    if (hostManagesSessions()) return;
    const double now = secondsSince1970(now_());
    std::optional<Change> change;
    {
        std::lock_guard lock(sessionLock_);
        if (!sessionId_) return;
        if (!exceeded(now, sessionActivityTimestamp_, sessionActivityThreshold)) {
            sessionActivityTimestamp_ = now;
            return;
        }
        if (sessionId_->empty()) return;
        change = Change{newId(), Reason::sessionTimeout};
        setSessionIdLocked(change->id, now);
    }
    announce(*change);
}

void OrbitSessionManager::didBecomeActive() {
    {
        std::lock_guard lock(sessionLock_);
        if (!isAppInBackground_) return;
    }
    touchSession();
    std::lock_guard lock(sessionLock_);
    isAppInBackground_ = false;
}

void OrbitSessionManager::didEnterBackground() {
    {
        std::lock_guard lock(sessionLock_);
        if (isAppInBackground_) return;
    }
    touchSession();
    std::lock_guard lock(sessionLock_);
    isAppInBackground_ = true;
}

}  // namespace orbit
