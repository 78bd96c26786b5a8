#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "orbit/Utils/Clock.h"
#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

class OrbitConfig;

// The current session of a client: an id made when a session starts, cleared when it ends.
// Subscribers of onSessionIdChanged hear of every change, after the lock is released.
class OrbitSessionManager {
public:
    void setup(std::shared_ptr<OrbitConfig> config);
    void startSession();
    void endSession();
    // The id for an event at the given time; readOnly never starts or touches a session.
    std::optional<std::string> getSessionId(OrbitDate at, bool readOnly);

    OrbitMulticastCallback<std::monostate> onSessionIdChanged;

private:
    std::mutex sessionLock_;
    std::shared_ptr<OrbitConfig> config_;
    std::optional<std::string> sessionId_;
};

}  // namespace orbit
