#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "desktop/KeyLayout.h"

namespace desktop {

class X11Display;

// The keyboard layout as the X server has it. A key's text is looked up on a connection of its
// own with the keycode and the modifier state the key was recorded with, so it is the
// character the user typed, whatever the keyboard state is by now. The connection follows
// keymap changes (MappingNotify); a key whose keycode was remapped only while it was typed (a
// spare keycode bound to 'é') is resolved with the keysyms the tap recorded with it.
// Safe to call from any thread.
class X11KeyLayout final : public KeyLayout {
public:
    // The display by name; $DISPLAY when empty. Without a display every answer is empty.
    explicit X11KeyLayout(std::string displayName = {});
    ~X11KeyLayout() override;
    X11KeyLayout(const X11KeyLayout&) = delete;
    X11KeyLayout& operator=(const X11KeyLayout&) = delete;

    // Keys without a character of their own (arrows, Home, F-keys …) answer the private-use
    // character a Mac reports for them, so such a key still counts as typed; dead keys and
    // modifiers answer empty.
    std::string text(const KeyDown& key) override;
    // What the key types without modifiers, upper-cased ("A" for the A key); empty when that is
    // no printable text (Return, arrows, modifiers) or the key is unknown.
    std::string keyName(int keyCode) override;

private:
    unsigned long lookupKeysym(unsigned int xKeycode, unsigned int state);
    bool ensureConnection();

    std::string displayName_;
    std::mutex mutex_;
    std::unique_ptr<X11Display> display_;
};

}  // namespace desktop
