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

// Binds an X keycode to keysyms through the core protocol, as xmodmap or xdotool do.
void bind(const std::string& display, int xKeycode, std::vector<KeySym> keysyms) {
    Display* x = XOpenDisplay(display.c_str());
    ASSERT_NE(x, nullptr);
    XChangeKeyboardMapping(x, xKeycode, static_cast<int>(keysyms.size()), keysyms.data(), 1);
    XSync(x, False);
    XCloseDisplay(x);
}

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

    int known = 0;
    for (int mac = 0; mac < 128; ++mac) {
        const uint32_t x = table::xKeycode(mac);
        if (x == 0) {
            EXPECT_EQ(table::keysym(mac), 0u) << mac;
            continue;
        }
        ++known;
        EXPECT_EQ(table::macKeyCode(x), mac) << "Mac key " << mac << " at X keycode " << x;
        EXPECT_NE(table::keysym(mac), 0u) << mac;
    }
    EXPECT_GT(known, 100);
    EXPECT_EQ(table::xKeycode(-1), 0u);
}

TEST(KeyLayout, TextOfKeysThatTypeNothingOfTheirOwn) {
    X11KeyLayout layout(x11test::sharedServer().display());
    EXPECT_EQ(layout.text(KeyDown{keycode::kReturn, 36, 0}), "\r");
    EXPECT_EQ(layout.text(KeyDown{56, 50, 0}), "");                          // Shift
    EXPECT_EQ(layout.text(KeyDown{keycode::kLeftArrow, 113, 0}), "\uF702");  // as a Mac reports it
    EXPECT_EQ(layout.text(KeyDown{122, 67, 0}), "\uF704");                   // F1
    EXPECT_EQ(layout.text(KeyDown{keycode::kV, 55, ControlMask}), "v");      // the key of a shortcut
}

TEST(KeyLayout, FollowsKeymapChangesAndIgnoresDeadKeys) {
    const auto display = x11test::sharedServer().display();
    X11KeyLayout layout(display);
    const KeyDown spare{keycode::kUnknown, kSpareKeycode, 0};
    EXPECT_EQ(layout.text(spare), "");

    bind(display, kSpareKeycode, {XK_ssharp});
    EXPECT_EQ(layout.text(spare), "ß");
    bind(display, kSpareKeycode, {XK_dead_acute});
    EXPECT_EQ(layout.text(spare), "");
    bind(display, kSpareKeycode, {NoSymbol});
    EXPECT_EQ(layout.text(spare), "");
}

TEST(KeyLayout, RecordedKeysymsFollowShiftAndCapsLock) {
    X11KeyLayout layout(x11test::sharedServer().display());
    auto text = [&](std::vector<uint32_t> keysyms, unsigned state) {
        return layout.text(KeyDown{keycode::kUnknown, kSpareKeycode, state, std::move(keysyms)});
    };
    EXPECT_EQ(text({XK_eacute}, 0), "é");
    EXPECT_EQ(text({XK_eacute}, ShiftMask), "É");
    EXPECT_EQ(text({XK_a, XK_A}, LockMask), "A");
    EXPECT_EQ(text({XK_a, XK_A}, LockMask | ShiftMask), "a");
    EXPECT_EQ(text({XK_1, XK_exclam}, LockMask), "1");
    EXPECT_EQ(text({XK_1, NoSymbol}, ShiftMask), "1");
}

TEST(KeyLayout, NamesKeysForDisplay) {
    X11KeyLayout layout(x11test::sharedServer().display());
    EXPECT_EQ(layout.keyName(keycode::kA), "A");
    EXPECT_EQ(layout.keyName(41), ";");
    EXPECT_EQ(layout.keyName(keycode::kReturn), "");
    EXPECT_EQ(layout.keyName(keycode::kLeftArrow), "");
}
