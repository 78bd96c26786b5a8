#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "desktop/KeyPoster.h"

namespace desktop {

// Posts keys through the XTEST extension on a connection of its own, flushed after every event
// so each reaches the server at once. A key is posted as the X keycode of its keysym
// (Backspace, Left, 'v' …), so Control-V pastes whatever the keyboard layout is. The Command
// flag is posted as Control held around the key, the Shift flag as Shift. The application sees
// exactly the flags named: modifier keys still held down (lock keys aside) are released first.
// Sources may be used from any thread.
class X11KeyPoster final : public KeyPoster {
public:
    // The display by name; $DISPLAY when empty.
    explicit X11KeyPoster(std::string displayName = {});
    ~X11KeyPoster() override;
    X11KeyPoster(const X11KeyPoster&) = delete;
    X11KeyPoster& operator=(const X11KeyPoster&) = delete;

    // Null when the display cannot be opened or has no XTEST extension.
    std::unique_ptr<KeyEventSource> createEventSource() override;

private:
    class Connection;
    class Source;

    std::string displayName_;
    std::shared_ptr<Connection> connection_;
    std::mutex mutex_;
};

}  // namespace desktop
