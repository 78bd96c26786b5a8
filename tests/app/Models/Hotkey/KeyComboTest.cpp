#include <gtest/gtest.h>

#include "Models/Hotkey/KeyCombo.h"
#include "desktop/KeyLayout.h"

using sablix::KeyCombo;

namespace {

constexpr uint32_t kControl = 0x1000, kOption = 0x800, kShift = 0x200, kCommand = 0x100;

// A layout on which only the A key (code 0) types text.
class OneLetterLayout final : public desktop::KeyLayout {
public:
    std::string text(const desktop::KeyDown&) override { return {}; }
    std::string keyName(int keyCode) override {
        askedFor.push_back(keyCode);
        return keyCode == 0 ? "A" : "";
    }
    std::vector<int> askedFor;
};

}  // namespace

TEST(KeyCombo, DisplayStrings) {
    const std::vector<std::pair<KeyCombo, std::string>> cases = {
        {KeyCombo::defaultCombo(), "⌃Space"},
        {{49, kCommand | kShift | kOption | kControl}, "⌃⌥⇧⌘Space"},
        {{96, kCommand | kShift}, "⇧⌘F5"},
        {{122, 0}, "F1"},
        {{53, 0}, "Escape"},
        {{117, 0}, "Fwd Delete"},
        {{126, kOption}, "⌥↑"},
        {{36, 0}, "Return"},
        {{0, kControl | 0x1 | 0x10000}, "⌃A"},  // bits outside the four are not shown
        {{50, kCommand}, "⌘Key50"},             // the layout types nothing for it
        {{0x10000, 0}, "Key65536"},
        {{UINT32_MAX, 0}, "Key4294967295"},
    };
    for (const auto& [combo, expected] : cases) {
        OneLetterLayout layout;
        EXPECT_EQ(combo.displayString(layout), expected) << combo.encoded();
    }
    // Codes beyond 16 bits never reach the layout (as a negative or wrapped-around code).
    OneLetterLayout layout;
    KeyCombo{UINT32_MAX, 0}.displayString(layout);
    KeyCombo{0x10000, 0}.displayString(layout);
    EXPECT_TRUE(layout.askedFor.empty());
}

TEST(KeyCombo, StoredJson) {
    EXPECT_EQ(KeyCombo::defaultCombo().encoded(), R"({"keyCode":49,"carbonModifiers":4096})");
    const KeyCombo widest{UINT32_MAX, UINT32_MAX};
    EXPECT_EQ(KeyCombo::decode(widest.encoded()), widest);
    EXPECT_EQ(KeyCombo::decode(R"({"carbonModifiers":768,"keyCode":96,"note":"kept by hand"})"), (KeyCombo{96, 768}));

    for (const char* bad : {
             R"({"keyCode":49})",
             R"({"carbonModifiers":4096})",
             R"({"keyCode":null,"carbonModifiers":4096})",
             R"({"keyCode":-1,"carbonModifiers":4096})",
             R"({"keyCode":49,"carbonModifiers":4294967296})",
             R"({"keyCode":49.0,"carbonModifiers":4096})",
             R"({"keyCode":"49","carbonModifiers":4096})",
             R"({"keyCode":true,"carbonModifiers":4096})",
             R"([49,4096])",
             R"({"keyCode":49,"carbonModifiers":4096)",
             "",
         })
        EXPECT_EQ(KeyCombo::decode(bad), std::nullopt) << bad;
}

TEST(KeyCombo, ModifierFlags) {
    constexpr uint64_t control = 0x40000, option = 0x80000, shift = 0x20000, command = 0x100000;
    constexpr uint64_t capsLock = 0x10000, function = 0x800000, keypad = 0x200000, help = 0x400000;
    EXPECT_EQ(KeyCombo::carbonModifiersFrom(control | option | shift | command),
              kControl | kOption | kShift | kCommand);
    EXPECT_EQ(KeyCombo::carbonModifiersFrom(control | capsLock | function | keypad | help), kControl);
    EXPECT_EQ(KeyCombo::carbonModifiersFrom(shift | command), kShift | kCommand);
    EXPECT_EQ(KeyCombo::carbonModifiersFrom(capsLock | function), 0u);

    EXPECT_TRUE(KeyCombo::hasRequiredModifier(control));
    EXPECT_TRUE(KeyCombo::hasRequiredModifier(option | shift));
    EXPECT_TRUE(KeyCombo::hasRequiredModifier(command));
    EXPECT_FALSE(KeyCombo::hasRequiredModifier(shift));
    EXPECT_FALSE(KeyCombo::hasRequiredModifier(shift | capsLock | function));
}
