#include "desktop/x11/X11KeyCodes.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>

#include "desktop/KeyCodes.h"

namespace desktop::x11keycodes {
namespace {

struct Key {
    int mac;
    uint32_t evdev;
    uint32_t keysym;
};

constexpr Key kKeys[] = {
    {0, 30, XK_a},
    {1, 31, XK_s},
    {2, 32, XK_d},
    {3, 33, XK_f},
    {4, 35, XK_h},
    {5, 34, XK_g},
    {6, 44, XK_z},
    {7, 45, XK_x},
    {8, 46, XK_c},
    {9, 47, XK_v},
    {10, 86, XK_less},
    {11, 48, XK_b},
    {12, 16, XK_q},
    {13, 17, XK_w},
    {14, 18, XK_e},
    {15, 19, XK_r},
    {16, 21, XK_y},
    {17, 20, XK_t},
    {18, 2, XK_1},
    {19, 3, XK_2},
    {20, 4, XK_3},
    {21, 5, XK_4},
    {22, 7, XK_6},
    {23, 6, XK_5},
    {24, 13, XK_equal},
    {25, 10, XK_9},
    {26, 8, XK_7},
    {27, 12, XK_minus},
    {28, 9, XK_8},
    {29, 11, XK_0},
    {30, 27, XK_bracketright},
    {31, 24, XK_o},
    {32, 22, XK_u},
    {33, 26, XK_bracketleft},
    {34, 23, XK_i},
    {35, 25, XK_p},
    {36, 28, XK_Return},
    {37, 38, XK_l},
    {38, 36, XK_j},
    {39, 40, XK_apostrophe},
    {40, 37, XK_k},
    {41, 39, XK_semicolon},
    {42, 43, XK_backslash},
    {43, 51, XK_comma},
    {44, 53, XK_slash},
    {45, 49, XK_n},
    {46, 50, XK_m},
    {47, 52, XK_period},
    {48, 15, XK_Tab},
    {49, 57, XK_space},
    {50, 41, XK_grave},
    {51, 14, XK_BackSpace},
    {53, 1, XK_Escape},
    // Modifiers: Command is the Super key.
    {54, 126, XK_Super_R},
    {55, 125, XK_Super_L},
    {56, 42, XK_Shift_L},
    {57, 58, XK_Caps_Lock},
    {58, 56, XK_Alt_L},
    {59, 29, XK_Control_L},
    {60, 54, XK_Shift_R},
    {61, 100, XK_Alt_R},
    {62, 97, XK_Control_R},
    // Keypad.
    {65, 83, XK_KP_Decimal},
    {67, 55, XK_KP_Multiply},
    {69, 78, XK_KP_Add},
    {75, 98, XK_KP_Divide},
    {76, 96, XK_KP_Enter},
    {78, 74, XK_KP_Subtract},
    {81, 117, XK_KP_Equal},
    {82, 82, XK_KP_0},
    {83, 79, XK_KP_1},
    {84, 80, XK_KP_2},
    {85, 81, XK_KP_3},
    {86, 75, XK_KP_4},
    {87, 76, XK_KP_5},
    {88, 77, XK_KP_6},
    {89, 71, XK_KP_7},
    {91, 72, XK_KP_8},
    {92, 73, XK_KP_9},
    // Media keys.
    {72, 115, XF86XK_AudioRaiseVolume},
    {73, 114, XF86XK_AudioLowerVolume},
    {74, 113, XF86XK_AudioMute},
    // Function keys.
    {122, 59, XK_F1},
    {120, 60, XK_F2},
    {99, 61, XK_F3},
    {118, 62, XK_F4},
    {96, 63, XK_F5},
    {97, 64, XK_F6},
    {98, 65, XK_F7},
    {100, 66, XK_F8},
    {101, 67, XK_F9},
    {109, 68, XK_F10},
    {103, 87, XK_F11},
    {111, 88, XK_F12},
    {105, 183, XK_F13},
    {107, 184, XK_F14},
    {113, 185, XK_F15},
    {106, 186, XK_F16},
    {64, 187, XK_F17},
    {79, 188, XK_F18},
    {80, 189, XK_F19},
    {90, 190, XK_F20},
    // Navigation; Help sits where a PC keyboard has Insert.
    {114, 110, XK_Insert},
    {115, 102, XK_Home},
    {116, 104, XK_Prior},
    {117, 111, XK_Delete},
    {119, 107, XK_End},
    {121, 109, XK_Next},
    {123, 105, XK_Left},
    {124, 106, XK_Right},
    {125, 108, XK_Down},
    {126, 103, XK_Up},
};

constexpr uint32_t kEvdevOffset = 8;

struct Tables {
    std::array<int, 256> macByXKeycode{};
    std::array<const Key*, 128> byMac{};
    Tables() {
        macByXKeycode.fill(keycode::kUnknown);
        for (const Key& key : kKeys) {
            macByXKeycode[key.evdev + kEvdevOffset] = key.mac;
            byMac[key.mac] = &key;
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

const Key* find(int macKeyCode) {
    if (macKeyCode < 0 || macKeyCode >= 128) return nullptr;
    return tables().byMac[macKeyCode];
}

}  // namespace

int macKeyCode(uint32_t xKeycode) { return xKeycode < 256 ? tables().macByXKeycode[xKeycode] : keycode::kUnknown; }

uint32_t xKeycode(int macKeyCode) {
    const Key* key = find(macKeyCode);
    return key ? key->evdev + kEvdevOffset : 0;
}

uint32_t keysym(int macKeyCode) {
    const Key* key = find(macKeyCode);
    return key ? key->keysym : 0;
}

bool isLockKeysym(unsigned long keysym) {
    switch (keysym) {
    case XK_Caps_Lock:
    case XK_Shift_Lock:
    case XK_Num_Lock:
    case XK_Scroll_Lock:
    case XK_ISO_Lock:
    case XK_ISO_Level3_Lock:
    case XK_ISO_Level5_Lock:
    case XK_ISO_Group_Lock: return true;
    default: return false;
    }
}

}  // namespace desktop::x11keycodes
