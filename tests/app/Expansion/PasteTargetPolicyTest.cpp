#include <gtest/gtest.h>

#include "Expansion/PasteTargetPolicy.h"
#include "desktop/KeyCodes.h"
#include "support/FakePasteboard.h"

// Control-V types a literal ^V into a terminal: terminals, whatever the case of their class, get
// Shift-Insert and the snippet on both selections; every other window, a class that merely starts
// like a terminal's included, gets Control-V and the clipboard alone.
TEST(PasteTargetPolicyTest, TerminalsPasteWithShiftInsertFromBothSelectionsOthersWithControlV) {
    testsupport::FakePasteboard clipboard;
    testsupport::FakePasteboard primarySelection;
    const sablix::PasteTargetPolicy policy(clipboard, primarySelection);
    const struct {
        const char* windowClass;
        bool terminal;
    } cases[] = {
        {"XTerm", true},         {"URxvt", true}, {"Gnome-terminal", true}, {"org.wezfurlong.wezterm", true},
        {"st-256color", true},   {"St", true},    {"Steam", false},         {"Firefox", false},
        {"xterm-viewer", false}, {"", false},
    };
    for (const auto& c : cases) {
        const auto target = policy.forWindowClass(c.windowClass);
        if (c.terminal) {
            EXPECT_EQ(target.keyCode, desktop::keycode::kInsert) << c.windowClass;
            EXPECT_EQ(target.flags, desktop::keycode::kShiftFlag) << c.windowClass;
            EXPECT_EQ(target.selections, (std::vector<desktop::Pasteboard*>{&clipboard, &primarySelection}))
                << c.windowClass;
        } else {
            EXPECT_EQ(target.keyCode, desktop::keycode::kV) << c.windowClass;
            EXPECT_EQ(target.flags, desktop::keycode::kCommandFlag) << c.windowClass;
            EXPECT_EQ(target.selections, (std::vector<desktop::Pasteboard*>{&clipboard})) << c.windowClass;
        }
    }
}
