#pragma once
#include <string>

#include "desktop/KeyDown.h"

namespace desktop {

// The keyboard layout: the text a key produces in the state it was pressed in, and the
// translation between macOS virtual key codes and X keycodes.
class KeyLayout {
public:
    virtual ~KeyLayout() = default;
    // UTF-8 text of the key; empty for dead keys and modifiers.
    virtual std::string text(const KeyDown& key) = 0;
    // The name of a key for display (hot-key recorder), without modifiers; empty when unknown.
    virtual std::string keyName(int keyCode) = 0;
};

}  // namespace desktop
