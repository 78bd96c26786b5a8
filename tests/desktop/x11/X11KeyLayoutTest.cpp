#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "X11TestSupport.h"
#include "desktop/KeyCodes.h"
#include "desktop/x11/X11KeyCodes.h"
#include "desktop/x11/X11KeyLayout.h"

using desktop::KeyDown;
using desktop::X11KeyLayout;
namespace keycode = desktop::keycode;

namespace {

constexpr int kSpareKeycode = 8;  // unused by the evdev keymap

}  // namespace

TEST(KeyCodeTable, TranslatesBothWaysByKeyPosition) {
    namespace table = desktop::x11keycodes;
    // Evdev X keycodes of a PC keyboard against the Mac key at the same place.
    EXPECT_EQ(table::macKeyCode(22), keycode::kDelete);
    EXPECT_EQ(table::macKeyCode(119), keycode::kForwardDelete);
    EXPECT_EQ(table::macKeyCode(113), keycode::kLeftArrow);
    EXPECT_EQ(table::macKeyCode(kSpareKeycode), keycode::kUnknown);
    EXPECT_EQ(table::macKeyCode(100000), keycode::kUnknown);
    EXPECT_EQ(table::xKeycode(-1), 0u);
    int known = 0;
    for (int mac = 0; mac < 128; ++mac) {
        const uint32_t x = table::xKeycode(mac);
        EXPECT_EQ(table::keysym(mac) != 0, x != 0) << mac;
        if (x == 0) continue;
        ++known;
        EXPECT_EQ(table::macKeyCode(x), mac) << "Mac key " << mac << " at X keycode " << x;
    }
    EXPECT_GT(known, 100);
}

TEST(KeyLayout, TextFollowsTheKeyStateAndTheKeysymsRecordedWithIt) {
    X11KeyLayout layout(x11test::sharedServer().display());
    const auto spare = [](std::vector<uint32_t> keysyms, unsigned state) {
        return KeyDown{keycode::kUnknown, kSpareKeycode, state, std::move(keysyms)};
    };
    const std::vector<std::pair<KeyDown, std::string>> cases = {
        {KeyDown{keycode::kReturn, 36, 0}, "\r"},
        {KeyDown{56, 50, 0}, ""},                          // Shift
        {KeyDown{keycode::kLeftArrow, 113, 0}, "\uF702"},  // as a Mac reports it
        {KeyDown{122, 67, 0}, "\uF704"},                   // F1
        {KeyDown{keycode::kV, 55, ControlMask}, "v"},      // the key of a shortcut
        {spare({XK_eacute}, 0), "é"},
        {spare({XK_eacute}, ShiftMask), "É"},
        {spare({XK_a, XK_A}, LockMask), "A"},
        {spare({XK_a, XK_A}, LockMask | ShiftMask), "a"},
        {spare({XK_1, XK_exclam}, LockMask), "1"},
        {spare({XK_1, NoSymbol}, ShiftMask), "1"},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(layout.text(cases[i].first), cases[i].second) << "case " << i;
}

// Bound through the core protocol, as xmodmap or xdotool do.
TEST(KeyLayout, FollowsKeymapChangesAndIgnoresDeadKeys) {
    const auto display = x11test::sharedServer().display();
    X11KeyLayout layout(display);
    const KeyDown spare{keycode::kUnknown, kSpareKeycode, 0};
    EXPECT_EQ(layout.text(spare), "");
    Display* x = XOpenDisplay(display.c_str());
    ASSERT_NE(x, nullptr);
    for (auto [keysym, text] :
         std::vector<std::pair<KeySym, std::string>>{{XK_ssharp, "ß"}, {XK_dead_acute, ""}, {NoSymbol, ""}}) {
        XChangeKeyboardMapping(x, kSpareKeycode, 1, &keysym, 1);
        XSync(x, False);
        EXPECT_EQ(layout.text(spare), text) << keysym;
    }
    XCloseDisplay(x);
}

TEST(KeyLayout, NamesKeysForDisplay) {
    X11KeyLayout layout(x11test::sharedServer().display());
    EXPECT_EQ(layout.keyName(keycode::kA), "A");
    EXPECT_EQ(layout.keyName(41), ";");
    EXPECT_EQ(layout.keyName(keycode::kReturn), "");
    EXPECT_EQ(layout.keyName(keycode::kLeftArrow), "");
}
