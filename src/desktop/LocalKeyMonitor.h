#pragma once
#include <cstdint>
#include <functional>

namespace desktop {

// A key pressed in one of this application's own windows, as a macOS virtual key code
// (keycode::kUnknown for a key with no counterpart) and the event flags of the modifiers held
// (keycode::kShiftFlag …).
struct MonitoredKey {
    int keyCode = -1;
    uint64_t flags = 0;
};

// Watches the key presses made in this application's windows before any window receives them.
// While it runs, every key press goes to the handler and to no window; pressing a modifier key
// alone (Shift, Control, Option, Command, Caps Lock) is no key press here, since it only
// changes the flags of the next one. Called on the main thread only; the handler runs there.
class LocalKeyMonitor {
public:
    virtual ~LocalKeyMonitor() = default;
    // Replaces an earlier handler.
    virtual void start(std::function<void(const MonitoredKey&)> onKeyDown) = 0;
    // Nothing when it is not running.
    virtual void stop() = 0;
    virtual bool running() const = 0;
};

}  // namespace desktop
