#pragma once
#include <QAbstractNativeEventFilter>
#include <cstdint>
#include <functional>

#include "desktop/HotkeyGrabber.h"

namespace desktop {

// The hot key as a passive key grab on the root window, made through Qt's own X connection so
// that its presses arrive in the Qt event loop, where a native event filter picks them out.
// The combination is grabbed with and without Caps Lock and Num Lock, which would otherwise
// each make it a different combination to X. Create after the QGuiApplication; on a platform
// other than X11 the handler cannot be installed.
class X11HotkeyGrabber final : public HotkeyGrabber, private QAbstractNativeEventFilter {
public:
    // Qt does not run on X11.
    static constexpr int kNoX11Connection = -1;

    X11HotkeyGrabber() = default;
    ~X11HotkeyGrabber() override;
    X11HotkeyGrabber(const X11HotkeyGrabber&) = delete;
    X11HotkeyGrabber& operator=(const X11HotkeyGrabber&) = delete;

    int installHandler(std::function<void()> onPressed) override;
    void removeHandler() override;
    int grab(uint32_t keyCode, uint32_t carbonModifiers) override;
    void ungrab() override;

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    void ungrabVariants(uint8_t xKeycode, uint16_t xModifiers);

    std::function<void()> onPressed_;
    bool filterInstalled_ = false;
    // The grab held: X keycode (0 when none) and X modifier mask.
    uint8_t xKeycode_ = 0;
    bool keyHeld_ = false;
    uint32_t lastReleaseTime_ = 0;
    uint16_t xModifiers_ = 0;
    uint32_t root_ = 0;
};

}  // namespace desktop
