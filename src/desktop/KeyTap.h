#pragma once
#include <functional>
#include <memory>

#include "desktop/KeyDown.h"

namespace desktop {

// A system-wide tap that sees every key-down and mouse-button press of the session, in any
// application. One object serves one run: create(), then run() on a worker thread until stop()
// ends it.
class KeyTap {
public:
    enum class RunResult {
        stopped,  // stop() was called
        failed,   // the tap stopped delivering on its own (connection lost, context disabled)
    };
    using KeyHandler = std::function<void(const KeyDown&)>;
    // A mouse button went down: the caret may now be anywhere.
    using ButtonHandler = std::function<void()>;

    virtual ~KeyTap() = default;
    // Creates the tap; false when it cannot be created. The handlers run on the run() thread, in
    // the order of the events, and must only hand them on.
    virtual bool create(KeyHandler onKeyDown, ButtonHandler onButtonDown) = 0;
    // Delivers keys on the calling thread until stop() or a failure.
    virtual RunResult run() = 0;
    // Ends run() from any thread; returns without waiting for it.
    virtual void stop() = 0;
};

using KeyTapFactory = std::function<std::unique_ptr<KeyTap>()>;

}  // namespace desktop
