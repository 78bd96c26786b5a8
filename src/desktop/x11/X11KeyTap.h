#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "desktop/KeyTap.h"

namespace desktop {

class X11Display;

// The session's key-downs and button presses through the RECORD extension. Recording takes two
// connections: the control one creates the context (every client, device events
// KeyPress..ButtonPress) and disables it on stop(); the data one blocks in the recording on the
// run() thread. Keys the process posts itself through XTest are recorded too. A stop() that
// comes while run() is enabling the recording waits the moment the server takes to start it,
// then disables it.
//
// Keymap changes made with the core protocol are recorded in the same stream, so a key on a
// keycode that a client remapped carries the keysyms it had at that moment (KeyDown::xKeysyms).
//
// run() returns `failed` when the recording ends without stop(): the X connection broke, or
// another client ended the context (for example by killing the client that owns it). The
// context's id is logged when it is created so that a test, or a user, can find it.
class X11KeyTap final : public KeyTap {
public:
    // The display by name; $DISPLAY when empty.
    explicit X11KeyTap(std::string displayName = {});
    // Must not be destroyed while run() is still running on another thread.
    ~X11KeyTap() override;
    X11KeyTap(const X11KeyTap&) = delete;
    X11KeyTap& operator=(const X11KeyTap&) = delete;

    bool create(KeyHandler onKeyDown, ButtonHandler onButtonDown) override;
    RunResult run() override;
    void stop() override;

private:
    struct Recording;
    void onStartOfData();
    void disable();

    std::string displayName_;
    KeyHandler onKeyDown_;
    ButtonHandler onButtonDown_;
    // Keycodes remapped by a recorded ChangeKeyboardMapping, with their keysyms; run() thread only.
    std::unordered_map<uint32_t, std::vector<uint32_t>> remapped_;
    std::unique_ptr<X11Display> control_;
    std::unique_ptr<X11Display> data_;
    unsigned long context_ = 0;
    // Guards the flags below: stop() may come from any thread while the recording starts on the
    // run() thread. The recording's callback takes it with the data connection locked, so no
    // Xlib call is ever made while holding it.
    std::mutex mutex_;
    std::condition_variable startedOrEnded_;
    bool stopRequested_ = false;
    bool disableSent_ = false;
    bool inRecording_ = false;  // run() is inside the recording call
    bool recording_ = false;    // the server has started sending the recorded data
};

}  // namespace desktop
