#pragma once
#include <functional>

#include "platform/NetworkPath.h"

namespace platform {

// A source of network paths. After start() it reports the current path once and then every
// change, on a thread of its own choosing; after cancel() returns it reports nothing more.
class PathMonitor {
public:
    using Handler = std::function<void(const NetworkPath&)>;

    virtual ~PathMonitor() = default;
    virtual void start(Handler handler) = 0;
    virtual void cancel() = 0;
};

}  // namespace platform
