#pragma once
#include <cstdint>

namespace desktop {

// One key-down seen by the keystroke tap. keyCode is the macOS virtual key code (or
// keycode::kUnknown); the X keycode and modifier state are kept so the typed text can be
// worked out later, off the tap's thread, with the state the key was really pressed in.
struct KeyDown {
    int keyCode = -1;
    uint32_t xKeycode = 0;
    uint32_t xState = 0;
};

}  // namespace desktop
