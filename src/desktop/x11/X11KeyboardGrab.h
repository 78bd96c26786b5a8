#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/KeyboardGrab.h"
#include "platform/DispatchQueue.h"

namespace desktop {

class X11Display;

// Holds the keyboard with an active grab on the root window, on a connection of its own: while
// it is held, the server hands the user's keys to that connection instead of the focused
// window. XTest input obeys a grab too, so pause() ungrabs around the keys the process posts.
// The last release() ungrabs and posts the held key presses again through XTest, each wrapped
// in the modifiers its recorded state names (lock modifiers left alone). A hold outstanding
// kLongestHold after it began, or after the last burst posted through it, is released all the
// same.
//
// Each key posted carries exactly the modifiers it was typed with (a posted Control-V must not
// turn into Control-Shift-V because the user holds Shift), and the modifiers the user holds are
// pressed again after it. The look at the keyboard, the ungrab and the keys run under a server
// grab: no other client's key can come between the look and the keys and find the keyboard
// other than the look saw it.
//
// Keys typed before the grab took effect went to the focused window. To find them, the first
// hold posts a press of a keycode bound to nothing while it has the keyboard: only this
// connection and the tap see it, and the tap shows it after every key that reached the window.
// Until the tap shows it, keys that did not come to this connection are the leaked ones.
class X11KeyboardGrab final : public KeyboardGrab {
public:
    static constexpr std::chrono::milliseconds kLongestHold{2000};

    // The display by name; $DISPLAY when empty. Connects at the first hold().
    explicit X11KeyboardGrab(std::string displayName = {});
    ~X11KeyboardGrab() override;
    X11KeyboardGrab(const X11KeyboardGrab&) = delete;
    X11KeyboardGrab& operator=(const X11KeyboardGrab&) = delete;

    bool hold() override;
    void pause() override;
    void resume() override;
    bool postThrough(int keyCode, size_t count, uint64_t flags) override;
    void release() override;
    void setAside() override;
    void postSetAside() override;
    bool withheld(const KeyDown& key) override;
    std::vector<KeyDown> leaked(std::chrono::milliseconds patience) override;

private:
    struct HeldKey {
        uint32_t keycode = 0;
        uint32_t state = 0;
        uint32_t time = 0;
    };
    struct Modifiers;
    struct KeysDown;
    // The rest run with mutex_ held.
    bool grab();
    // Lets the keyboard go kLongestHold from now unless a later call or the last release() comes
    // first.
    void scheduleDeadline();
    void postMarker();
    void ungrab();
    void collectHeldKeys();
    void letGo();
    // Read outside a server grab: reading the mapping may take Xlib's process-wide lock.
    Modifiers currentModifiers();
    void lookAtKeysDown(KeysDown& down);
    void replay(const HeldKey& held, const Modifiers& modifiers, KeysDown& down);
    void pressAgain(const KeysDown& before, const Modifiers& modifiers, KeysDown& down);

    std::string displayName_;
    std::mutex mutex_;
    std::unique_ptr<X11Display> display_;
    int holds_ = 0;
    bool paused_ = false;
    bool grabbed_ = false;
    uint64_t generation_ = 0;  // moves with each first hold, so a late deadline knows it is stale
    std::vector<HeldKey> held_;
    bool settingAside_ = false;  // the outstanding hold's keys go to setAside_ when it ends
    bool setAsideDue_ = false;   // the keys set aside go out when the outstanding hold ends
    std::vector<HeldKey> setAside_;
    // Leaked keys are still being gathered: the tap has not yet shown the marker.
    bool gatheringLeaks_ = false;
    std::vector<KeyDown> leaked_;
    std::condition_variable markerShown_;
    uint32_t markerKeycode_ = 0;
    // Read from the display once, and again after it announces a new keyboard mapping: each
    // reading is a round trip, which every burst would otherwise pay before its keys.
    std::unique_ptr<Modifiers> modifiers_;
    std::optional<uint8_t> spareKeycode_;
    int xtestOpcode_ = 0;
    int markersUnshown_ = 0;      // posted, not yet shown by the tap
    int markersUncollected_ = 0;  // posted, not yet read from this connection
    // Presses held back that the tap has not yet asked about, oldest first (time, keycode).
    std::deque<std::pair<uint32_t, uint32_t>> unclaimed_;
    // Declared last: destroyed first, so no deadline runs on a half-destroyed object.
    platform::DispatchQueue deadlines_{"sablix.keyboardgrab"};
};

}  // namespace desktop
