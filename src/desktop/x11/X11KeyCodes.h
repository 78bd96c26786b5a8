#pragma once
#include <cstdint>

// The one table between macOS virtual key codes and the X side: X keycodes of the evdev
// keyboard model (X keycode = evdev code + 8, by key position) and the keysym each key types
// on a US layout. Covers the keys of a Mac keyboard: letters, digits, punctuation, Return,
// Tab, Space, Delete, Escape, Forward Delete, navigation, arrows, F-keys, keypad, modifiers.
namespace desktop::x11keycodes {

// The macOS key code of the key at this X keycode, or keycode::kUnknown.
int macKeyCode(uint32_t xKeycode);
// The X keycode of the key at this macOS key code's position, or 0.
uint32_t xKeycode(int macKeyCode);
// The keysym the key stands for (Backspace for Delete, Left for the left arrow, 'v' for V …),
// or 0 when the key code is not in the table.
uint32_t keysym(int macKeyCode);
// Keys that toggle a state rather than hold one (Caps Lock, Num Lock …): releasing them changes
// nothing the user meant, and pressing one again would flip the state.
bool isLockKeysym(unsigned long keysym);

}  // namespace desktop::x11keycodes
