#include "desktop/x11/X11LocalKeyMonitor.h"

#include <QByteArray>
#include <QCoreApplication>
#include <xcb/xcb.h>

#include "desktop/KeyCodes.h"
#include "desktop/x11/X11KeyCodes.h"

namespace desktop {
namespace {

// The macOS key codes of the modifier keys: Right Command, Command, Shift, Caps Lock, Option,
// Control, Right Shift, Right Option, Right Control, Function.
constexpr int kFirstModifierKey = 54;
constexpr int kLastModifierKey = 63;

// Command is the Super key, which X keymaps put on Mod4; Option is Alt, on Mod1.
uint64_t flagsFor(uint16_t xState) {
    uint64_t flags = 0;
    if (xState & XCB_MOD_MASK_SHIFT) flags |= keycode::kShiftFlag;
    if (xState & XCB_MOD_MASK_CONTROL) flags |= keycode::kControlFlag;
    if (xState & XCB_MOD_MASK_1) flags |= keycode::kOptionFlag;
    if (xState & XCB_MOD_MASK_4) flags |= keycode::kCommandFlag;
    return flags;
}

}  // namespace

X11LocalKeyMonitor::~X11LocalKeyMonitor() { stop(); }

void X11LocalKeyMonitor::start(std::function<void(const MonitoredKey&)> onKeyDown) {
    const bool wasRunning = running();
    onKeyDown_ = std::move(onKeyDown);
    if (!wasRunning && onKeyDown_ && QCoreApplication::instance())
        QCoreApplication::instance()->installNativeEventFilter(this);
}

void X11LocalKeyMonitor::stop() {
    if (!running()) return;
    onKeyDown_ = nullptr;
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

std::optional<MonitoredKey> X11LocalKeyMonitor::keyDown(uint8_t xKeycode, uint16_t xState) {
    const int keyCode = x11keycodes::macKeyCode(xKeycode);
    if (keyCode >= kFirstModifierKey && keyCode <= kLastModifierKey) return std::nullopt;
    return MonitoredKey{keyCode, flagsFor(xState)};
}

bool X11LocalKeyMonitor::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!onKeyDown_ || eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (key->event == key->root) return false;
    const auto pressed = keyDown(key->detail, key->state);
    if (!pressed) return false;
    // A copy: the handler may well stop the monitor.
    const auto onKeyDown = onKeyDown_;
    onKeyDown(*pressed);
    return true;
}

}  // namespace desktop
