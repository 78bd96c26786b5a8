#pragma once
#include <cstdint>
#include <memory>

namespace desktop {

// Posts synthetic key events to whatever has the keyboard focus. Key codes and flags are macOS
// virtual key codes and event flags (keycode::kCommandFlag posts as Control on X11,
// keycode::kShiftFlag as Shift). Modifiers the user still holds are released first, so the
// application sees exactly the flags posted.
class KeyEventSource {
public:
    virtual ~KeyEventSource() = default;
    virtual void postKey(int keyCode, bool keyDown, uint64_t flags = 0) = 0;
    // Returns once the display has taken every key posted so far from this source.
    virtual void sync() = 0;
};

class KeyPoster {
public:
    virtual ~KeyPoster() = default;
    // A source for one operation's events, or null when none can be made.
    virtual std::unique_ptr<KeyEventSource> createEventSource() = 0;
};

}  // namespace desktop
