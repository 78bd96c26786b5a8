#include "desktop/x11/X11HotkeyGrabber.h"

#include <QByteArray>
#include <QGuiApplication>
#include <array>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

#include "desktop/x11/X11KeyCodes.h"

namespace desktop {
namespace {

// Num Lock sits on Mod2 in every keymap X ships.
constexpr uint16_t kNumLockMask = XCB_MOD_MASK_2;
constexpr std::array<uint16_t, 4> kLockVariants{0, XCB_MOD_MASK_LOCK, kNumLockMask, XCB_MOD_MASK_LOCK | kNumLockMask};
// The modifiers a combination is made of; the lock keys and mouse buttons are left out.
constexpr uint16_t kComboModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// Command is the Super key, which X keymaps put on Mod4; Option is Alt, on Mod1.
uint16_t xModifiersFor(uint32_t carbonModifiers) {
    uint16_t mask = 0;
    if (carbonModifiers & carbon::kControlKey) mask |= XCB_MOD_MASK_CONTROL;
    if (carbonModifiers & carbon::kOptionKey) mask |= XCB_MOD_MASK_1;
    if (carbonModifiers & carbon::kShiftKey) mask |= XCB_MOD_MASK_SHIFT;
    if (carbonModifiers & carbon::kCommandKey) mask |= XCB_MOD_MASK_4;
    return mask;
}

xcb_connection_t* qtConnection() {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

}  // namespace

X11HotkeyGrabber::~X11HotkeyGrabber() {
    ungrab();
    removeHandler();
}

int X11HotkeyGrabber::installHandler(std::function<void()> onPressed) {
    if (!qtConnection()) return kNoX11Connection;
    onPressed_ = std::move(onPressed);
    if (!filterInstalled_) {
        qApp->installNativeEventFilter(this);
        filterInstalled_ = true;
    }
    return kNoError;
}

void X11HotkeyGrabber::removeHandler() {
    onPressed_ = nullptr;
    if (filterInstalled_ && qApp) qApp->removeNativeEventFilter(this);
    filterInstalled_ = false;
}

int X11HotkeyGrabber::grab(uint32_t keyCode, uint32_t carbonModifiers) {
    ungrab();
    xcb_connection_t* connection = qtConnection();
    if (!connection) return kNoX11Connection;
    // Keycode 0 would grab every key; a key X has no keycode for is refused as X would refuse it.
    const uint32_t xKeycode = keyCode <= 0xFFFF ? x11keycodes::xKeycode(static_cast<int>(keyCode)) : 0;
    if (xKeycode == 0 || xKeycode > 255) return XCB_VALUE;

    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const uint16_t modifiers = xModifiersFor(carbonModifiers);
    std::array<xcb_void_cookie_t, kLockVariants.size()> cookies{};
    for (size_t i = 0; i < kLockVariants.size(); ++i)
        cookies[i] =
            xcb_grab_key_checked(connection, 0, root_, modifiers | kLockVariants[i],
                                 static_cast<xcb_keycode_t>(xKeycode), XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    int status = kNoError;
    for (const auto& cookie : cookies) {
        std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(xcb_request_check(connection, cookie),
                                                                         &std::free);
        if (error && status == kNoError) status = error->error_code;
    }
    if (status != kNoError) {
        // Another client holds some variant: give back the ones we got, or they would linger.
        ungrabVariants(static_cast<uint8_t>(xKeycode), modifiers);
        return status;
    }
    xKeycode_ = static_cast<uint8_t>(xKeycode);
    xModifiers_ = modifiers;
    return kNoError;
}

void X11HotkeyGrabber::ungrab() {
    if (xKeycode_ == 0) return;
    ungrabVariants(xKeycode_, xModifiers_);
    xKeycode_ = 0;
    xModifiers_ = 0;
}

void X11HotkeyGrabber::ungrabVariants(uint8_t xKeycode, uint16_t xModifiers) {
    xcb_connection_t* connection = qtConnection();
    if (!connection) return;
    // Ungrabbing touches only this client's own grabs.
    for (const uint16_t variant : kLockVariants) xcb_ungrab_key(connection, xKeycode, root_, xModifiers | variant);
    xcb_flush(connection);
}

bool X11HotkeyGrabber::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (xKeycode_ == 0 || !onPressed_ || eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    // Press and release events share one layout.
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (key->detail != xKeycode_ || key->event != root_) return false;
    if (type == XCB_KEY_RELEASE) {
        keyHeld_ = false;
        lastReleaseTime_ = key->time;
        return false;
    }
    if ((key->state & kComboModifiers) != xModifiers_) return false;
    // Holding the combination must toggle once: the server repeats the press, either alone (with
    // detectable auto-repeat) or right after a release carrying the same time.
    const bool repeat = keyHeld_ || (lastReleaseTime_ != 0 && key->time == lastReleaseTime_);
    keyHeld_ = true;
    if (repeat) return true;
    // A copy: the handler may well replace or remove itself.
    const auto onPressed = onPressed_;
    onPressed();
    return true;
}

}  // namespace desktop
