#include "orbit/OrbitSessionManager.h"

#include "orbit/OrbitVersion.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"

namespace orbit {
namespace {

// A host SDK that wraps this client and keeps its own sessions.
bool hostManagesSessions() { return orbitSdkName() == "orbit-react-native"; }

}  // namespace

void OrbitSessionManager::setup(std::shared_ptr<OrbitConfig> config) {
    std::lock_guard lock(sessionLock_);
    config_ = std::move(config);
}

void OrbitSessionManager::startSession() {
    if (hostManagesSessions()) return;
    {
        std::lock_guard lock(sessionLock_);
        sessionId_ = TimeBasedEpochGenerator::shared().v7().toString();
    }
    onSessionIdChanged.invoke({});
}

void OrbitSessionManager::endSession() {
    if (hostManagesSessions()) return;
    {
        std::lock_guard lock(sessionLock_);
        if (!sessionId_) return;
        sessionId_.reset();
    }
    onSessionIdChanged.invoke({});
}

std::optional<std::string> OrbitSessionManager::getSessionId(OrbitDate, bool) {
    std::lock_guard lock(sessionLock_);
    return sessionId_;
}

}  // namespace orbit
