#pragma once
#include <cstdint>
#include <functional>

namespace desktop {

// The modifier mask of a stored hot key. The stored combination keeps the encoding of the
// platform the settings were first written on, so these bits are part of the file format.
namespace carbon {
inline constexpr uint32_t kCommandKey = 0x100;
inline constexpr uint32_t kShiftKey = 0x200;
inline constexpr uint32_t kOptionKey = 0x800;
inline constexpr uint32_t kControlKey = 0x1000;
}  // namespace carbon

// One system-wide key combination taken for this application alone: while it is held, its
// presses reach this application wherever the focus is, and no other window sees them.
// Called on the main thread only; the handler runs there too.
class HotkeyGrabber {
public:
    static constexpr int kNoError = 0;

    virtual ~HotkeyGrabber() = default;
    // Starts delivering presses of the grabbed combination to `onPressed`; replaces an earlier
    // handler. Answers kNoError, or the desktop's reason why presses cannot be received.
    virtual int installHandler(std::function<void()> onPressed) = 0;
    // Stops delivering presses; nothing when no handler is installed.
    virtual void removeHandler() = 0;
    // Takes the combination of a macOS virtual key code and a Carbon modifier mask. Answers
    // kNoError, or the desktop's error code, for instance when another client holds it; then
    // nothing stays grabbed.
    virtual int grab(uint32_t keyCode, uint32_t carbonModifiers) = 0;
    // Gives back the combination held; nothing when none is.
    virtual void ungrab() = 0;
};

}  // namespace desktop
