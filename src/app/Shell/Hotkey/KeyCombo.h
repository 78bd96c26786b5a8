#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "desktop/HotkeyGrabber.h"
#include "desktop/KeyCodes.h"

namespace desktop {
class KeyLayout;
}

namespace sablix {

// A hot-key combination: a macOS virtual key code and a Carbon modifier mask, the encoding the
// stored settings are written in. Stored as the JSON object {"keyCode", "carbonModifiers"}.
struct KeyCombo {
    uint32_t keyCode = desktop::keycode::kSpace;
    uint32_t carbonModifiers = desktop::carbon::kControlKey;

    // Control + Space.
    static KeyCombo defaultCombo() { return {}; }

    // Modifier names in the fixed order Control, Option, Shift, Command, then the key's name,
    // joined as Linux desktops write key combinations: "Ctrl+Space", "Shift+Super+F5".
    std::string displayString(desktop::KeyLayout& layout) const;
    // The name of a key without modifiers: a fixed name for keys that type no text, else what
    // the key types on the current layout, upper-cased, else "Key" and the code ("Key50").
    static std::string keyName(uint32_t keyCode, desktop::KeyLayout& layout);

    // The Carbon mask of the Control, Option, Shift and Command bits among a key event's flags;
    // every other flag (Caps Lock, Function, keypad, help) is dropped.
    static uint32_t carbonModifiersFrom(uint64_t eventFlags);
    // Whether the flags hold Control, Option or Command; Shift alone is not enough for a hot key.
    static bool hasRequiredModifier(uint64_t eventFlags);

    std::string encoded() const;
    // Both keys required, both unsigned 32-bit JSON integers; anything else gives none.
    static std::optional<KeyCombo> decode(std::string_view bytes);
    static std::optional<KeyCombo> fromJson(const nlohmann::json& json);

    friend bool operator==(const KeyCombo&, const KeyCombo&) = default;
};

}  // namespace sablix
