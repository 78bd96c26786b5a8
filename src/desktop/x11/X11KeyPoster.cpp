#include "desktop/x11/X11KeyPoster.h"

#include "desktop/KeyCodes.h"
#include "desktop/x11/X11Display.h"
#include "desktop/x11/X11KeyCodes.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <vector>

namespace desktop {

// The XTEST connection, shared by the sources of one poster.
class X11KeyPoster::Connection {
public:
    explicit Connection(std::unique_ptr<X11Display> display) : display_(std::move(display)) {}

    bool usable() {
        std::lock_guard lock(mutex_);
        return !display_->lost();
    }

    void post(int keyCode, bool keyDown, uint64_t flags) {
        std::lock_guard lock(mutex_);
        display_->followKeymapChanges();
        if (display_->lost()) return;
        const KeyCode key = keycodeFor(x11keycodes::keysym(keyCode));
        if (key == 0) return;  // a key the keyboard cannot type is skipped
        // Held around the key, outermost first.
        std::vector<KeyCode> around;
        if (flags & keycode::kCommandFlag) around.push_back(keycodeFor(XK_Control_L));
        if (flags & keycode::kShiftFlag) around.push_back(keycodeFor(XK_Shift_L));
        std::erase(around, KeyCode{0});
        // The server applies every modifier that is down to a posted key: a Shift the user still
        // holds from typing the trigger would turn Control-V into Control-Shift-V. The user's
        // modifiers are released (and stay released); on a key-up, the ones posted with its
        // key-down are kept until after the key.
        releaseHeldModifiers(keyDown ? std::vector<KeyCode>{} : around);
        if (keyDown) {
            for (const KeyCode modifier : around) fake(modifier, true);
            fake(key, true);
        } else {
            fake(key, false);
            for (auto it = around.rbegin(); it != around.rend(); ++it) fake(*it, false);
        }
    }

    void sync() {
        std::lock_guard lock(mutex_);
        if (!display_->lost()) XSync(display_->get(), False);
    }

private:
    KeyCode keycodeFor(uint32_t keysym) { return keysym == 0 ? 0 : XKeysymToKeycode(display_->get(), keysym); }

    void fake(KeyCode key, bool down) {
        XTestFakeKeyEvent(display_->get(), key, down ? True : False, CurrentTime);
        XFlush(display_->get());
    }

    void releaseHeldModifiers(const std::vector<KeyCode>& keep) {
        for (const KeyCode key : heldModifiers())
            if (std::find(keep.begin(), keep.end(), key) == keep.end()) fake(key, false);
    }

    // The keys of the modifier mapping that the server has down, lock keys excepted.
    std::vector<KeyCode> heldModifiers() {
        Display* display = display_->get();
        char down[32] = {};
        XQueryKeymap(display, down);
        std::vector<KeyCode> held;
        XModifierKeymap* map = XGetModifierMapping(display);
        if (!map) return held;
        for (int modifier = 0; modifier < 8; ++modifier) {
            if (modifier == LockMapIndex) continue;
            for (int i = 0; i < map->max_keypermod; ++i) {
                const KeyCode key = map->modifiermap[modifier * map->max_keypermod + i];
                if (key == 0 || !(down[key / 8] & (1 << (key % 8)))) continue;
                if (std::find(held.begin(), held.end(), key) != held.end() || isLockKey(key)) continue;
                held.push_back(key);
            }
        }
        XFreeModifiermap(map);
        return held;
    }

    bool isLockKey(KeyCode key) {
        int perKeycode = 0;
        KeySym* keysyms = XGetKeyboardMapping(display_->get(), key, 1, &perKeycode);
        if (!keysyms) return false;
        // The unshifted keysym names the key: with some options, Shift types Caps_Lock shifted.
        const bool lock = perKeycode > 0 && x11keycodes::isLockKeysym(keysyms[0]);
        XFree(keysyms);
        return lock;
    }

    std::mutex mutex_;
    std::unique_ptr<X11Display> display_;
};

class X11KeyPoster::Source final : public KeyEventSource {
public:
    explicit Source(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
    void postKey(int keyCode, bool keyDown, uint64_t flags) override { connection_->post(keyCode, keyDown, flags); }
    void sync() override { connection_->sync(); }

private:
    std::shared_ptr<Connection> connection_;
};

X11KeyPoster::X11KeyPoster(std::string displayName) : displayName_(std::move(displayName)) {}

X11KeyPoster::~X11KeyPoster() = default;

std::unique_ptr<KeyEventSource> X11KeyPoster::createEventSource() {
    std::lock_guard lock(mutex_);
    if (!connection_ || !connection_->usable()) {
        connection_.reset();
        auto display = X11Display::open(displayName_);
        int event = 0, error = 0, major = 0, minor = 0;
        if (!display || !XTestQueryExtension(display->get(), &event, &error, &major, &minor)) return nullptr;
        display->startFollowingKeymap();
        connection_ = std::make_shared<Connection>(std::move(display));
    }
    return std::make_unique<Source>(connection_);
}

}  // namespace desktop
