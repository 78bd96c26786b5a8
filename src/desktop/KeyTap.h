#pragma once
#include <functional>
#include <memory>

#include "desktop/KeyDown.h"

namespace desktop {

// A system-wide tap that sees every key-down of the session, in any application. One object
// serves one run: create(), then run() on a worker thread until stop() ends it.
class KeyTap {
public:
    enum class RunResult {
        stopped,  // stop() was called
        failed,   // the tap stopped delivering on its own (connection lost, context disabled)
    };
    using KeyHandler = std::function<void(const KeyDown&)>;

    virtual ~KeyTap() = default;
    // Creates the tap; false when it cannot be created. The handler runs on the run() thread and
    // must only hand the key on.
    virtual bool create(KeyHandler handler) = 0;
    // Delivers keys on the calling thread until stop() or a failure.
    virtual RunResult run() = 0;
    // Ends run() from any thread; returns without waiting for it.
    virtual void stop() = 0;
};

using KeyTapFactory = std::function<std::unique_ptr<KeyTap>()>;

}  // namespace desktop
