#include "desktop/X11KeyPoster.h"

#include "desktop/KeyCodes.h"
#include "desktop/X11Display.h"
#include "desktop/X11KeyCodes.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

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
        const bool command = (flags & keycode::kCommandFlag) != 0;
        const KeyCode control = command ? keycodeFor(XK_Control_L) : 0;
        if (keyDown && control) fake(control, true);
        fake(key, keyDown);
        if (!keyDown && control) fake(control, false);
    }

private:
    KeyCode keycodeFor(uint32_t keysym) {
        return keysym == 0 ? 0 : XKeysymToKeycode(display_->get(), keysym);
    }

    void fake(KeyCode key, bool down) {
        XTestFakeKeyEvent(display_->get(), key, down ? True : False, CurrentTime);
        XFlush(display_->get());
    }

    std::mutex mutex_;
    std::unique_ptr<X11Display> display_;
};

class X11KeyPoster::Source final : public KeyEventSource {
public:
    explicit Source(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
    void postKey(int keyCode, bool keyDown, uint64_t flags) override { connection_->post(keyCode, keyDown, flags); }

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
