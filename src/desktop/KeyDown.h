#pragma once
#include <cstdint>
#include <utility>
#include <vector>

namespace desktop {

// One key-down seen by the keystroke tap. keyCode is the macOS virtual key code (or
// keycode::kUnknown); the X keycode and modifier state are kept so the typed text can be
// worked out later, off the tap's thread, with the state the key was really pressed in.
struct KeyDown {
    KeyDown() = default;
    KeyDown(int keyCode, uint32_t xKeycode, uint32_t xState, std::vector<uint32_t> xKeysyms = {})
        : keyCode(keyCode), xKeycode(xKeycode), xState(xState), xKeysyms(std::move(xKeysyms)) {}

    int keyCode = -1;
    uint32_t xKeycode = 0;
    uint32_t xState = 0;
    // The keysyms of the keycode at the moment it was pressed (plain, Shift, …), when a client
    // had remapped it; empty otherwise. Tools that type characters missing from the layout bind
    // them to a spare keycode only while they type, so a later lookup would find nothing.
    std::vector<uint32_t> xKeysyms;
    // The X server's time of the press (milliseconds), 0 when unknown.
    uint32_t xTime = 0;
};

}  // namespace desktop
