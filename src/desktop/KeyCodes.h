#pragma once
#include <cstdint>

// Keys inside the application are named by the macOS virtual key codes and modifier flags that
// the stored settings and the engine's constants are written in; the X11 layers translate at
// the X boundary.
namespace desktop::keycode {

inline constexpr int kA = 0;
inline constexpr int kV = 9;
inline constexpr int kReturn = 36;
inline constexpr int kTab = 48;
inline constexpr int kSpace = 49;
inline constexpr int kDelete = 51;  // Backspace
inline constexpr int kEscape = 53;
inline constexpr int kInsert = 114;  // Help on a Mac keyboard
inline constexpr int kForwardDelete = 117;
inline constexpr int kLeftArrow = 123;
inline constexpr int kRightArrow = 124;
inline constexpr int kDownArrow = 125;
inline constexpr int kUpArrow = 126;
inline constexpr int kUnknown = -1;  // an X key with no macOS counterpart

// Flags of a posted event.
inline constexpr uint64_t kShiftFlag = 0x20000;
inline constexpr uint64_t kControlFlag = 0x40000;
inline constexpr uint64_t kOptionFlag = 0x80000;
inline constexpr uint64_t kCommandFlag = 0x100000;

}  // namespace desktop::keycode
