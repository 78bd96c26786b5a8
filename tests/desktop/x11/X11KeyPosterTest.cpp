#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <filesystem>

#include "X11TestSupport.h"
#include "desktop/KeyCodes.h"
#include "desktop/x11/X11KeyPoster.h"
#include "support/TkTextField.h"

using namespace desktop;

namespace {

void press(KeyEventSource& source, int keyCode, int times = 1, uint64_t flags = 0) {
    for (int i = 0; i < times; ++i) {
        source.postKey(keyCode, true, flags);
        source.postKey(keyCode, false, flags);
    }
}

// Puts text on a selection ("clipboard", "primary") through xclip, kept in the foreground so it
// is stopped by its PID.
std::unique_ptr<testsupport::ChildProcess> ownSelection(const std::string& display, const std::string& text,
                                                        const std::string& selection = "clipboard") {
    const std::string directory = x11test::temporaryDirectory();
    const std::string file = directory + "/clipboard.txt";
    FILE* out = std::fopen(file.c_str(), "w");
    std::fputs(text.c_str(), out);
    std::fclose(out);
    auto owner = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"xclip", "-quiet", "-selection", selection, file},
        std::vector<std::string>{"DISPLAY=" + display});
    std::string seen;
    for (int i = 0; i < 200 && seen != text; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        x11test::run(display, {"timeout", "2", "xclip", "-o", "-selection", selection}, &seen);
    }
    std::filesystem::remove_all(directory);
    return seen == text ? std::move(owner) : nullptr;
}

// A Tk field holding the typed text, "XY" on the clipboard, a recording of every key and a source
// posting into the field.
class KeyPosterOnAField : public ::testing::Test {
protected:
    void prepare(const std::string& typed) {
        ASSERT_TRUE(field.start(display));
        ASSERT_TRUE(field.focus());
        ASSERT_EQ(field.contents(), "");
        if (!typed.empty()) {
            ASSERT_EQ(x11test::run(display, {"xdotool", "type", typed}), 0);
            ASSERT_EQ(field.waitForContents(typed), typed);
        }
        clipboard = ownSelection(display, "XY");
        ASSERT_TRUE(clipboard);
        recorder = std::make_unique<x11test::RecordingTap>(display);
        ASSERT_TRUE(recorder->recording());
        source = poster.createEventSource();
        ASSERT_TRUE(source);
    }

    const std::string display = x11test::sharedServer().display();
    testsupport::TkTextField field;
    std::unique_ptr<testsupport::ChildProcess> clipboard;
    std::unique_ptr<x11test::RecordingTap> recorder;
    X11KeyPoster poster{display};
    std::unique_ptr<KeyEventSource> source;
};

}  // namespace

TEST_F(KeyPosterOnAField, BackspacesPasteAndLeftArrowsEditTheFocusedFieldAndComeBackThroughTheTap) {
    prepare("abcdef");
    press(*source, keycode::kDelete, 2);
    press(*source, keycode::kV, 1, keycode::kCommandFlag);
    // Tk handles keys that arrive while it fetches the clipboard before it inserts the text.
    EXPECT_EQ(field.waitForContents("abcdXY"), "abcdXY");
    press(*source, keycode::kLeftArrow, 2);

    // The caret now stands before "XY".
    press(*source, keycode::kA);
    EXPECT_EQ(field.waitForContents("abcdaXY"), "abcdaXY");

    const auto keys = recorder->waitForKeys(7);
    std::vector<int> codes;
    for (const auto& key : keys) codes.push_back(key.keyCode);
    // The Command flag arrives as the left Control key held around V.
    EXPECT_EQ(codes, (std::vector<int>{keycode::kDelete, keycode::kDelete, 59, keycode::kV, keycode::kLeftArrow,
                                       keycode::kLeftArrow, keycode::kA}));
}

// The user's fingers are often still on Shift (from ':' or a capital) or Control when the engine
// posts its keys: the application must see only the flags the engine names.
TEST_F(KeyPosterOnAField, ModifiersTheUserStillHoldsDoNotChangeThePostedKeys) {
    prepare("one two;sig");

    // Shift held: Control-Shift-V would not paste, Shift-Left would select the "Y" that the
    // typed "a" then replaced.
    ASSERT_EQ(x11test::run(display, {"xdotool", "keydown", "Shift_L"}), 0);
    press(*source, keycode::kDelete, 4);
    press(*source, keycode::kV, 1, keycode::kCommandFlag);
    EXPECT_EQ(field.waitForContents("one twoXY"), "one twoXY");
    press(*source, keycode::kLeftArrow);
    press(*source, keycode::kA);
    EXPECT_EQ(field.waitForContents("one twoXaY"), "one twoXaY");

    // Control held: Control-Left would jump back a word, Control-B would not type.
    ASSERT_EQ(x11test::run(display, {"xdotool", "keydown", "Control_L"}), 0);
    press(*source, keycode::kDelete);
    press(*source, keycode::kLeftArrow);
    press(*source, 11);  // B
    EXPECT_EQ(field.waitForContents("one twobXY"), "one twobXY");
    x11test::run(display, {"xdotool", "keyup", "Shift_L", "Control_L"});

    // What the application received, as the server delivered it.
    const std::vector<int> posted = {keycode::kDelete, keycode::kV, keycode::kLeftArrow, keycode::kA, 11};
    std::vector<std::pair<int, unsigned>> seen;
    for (const auto& key : recorder->waitForKeys(13))
        if (std::find(posted.begin(), posted.end(), key.keyCode) != posted.end())
            seen.emplace_back(key.keyCode, key.xState & (ShiftMask | ControlMask));
    const std::vector<std::pair<int, unsigned>> expected = {{keycode::kDelete, 0},      {keycode::kDelete, 0},
                                                            {keycode::kDelete, 0},      {keycode::kDelete, 0},
                                                            {keycode::kV, ControlMask}, {keycode::kLeftArrow, 0},
                                                            {keycode::kA, 0},           {keycode::kDelete, 0},
                                                            {keycode::kLeftArrow, 0},   {11, 0}};
    EXPECT_EQ(seen, expected);
}

// Terminals paste on Shift-Insert, not on Control-V.
TEST_F(KeyPosterOnAField, PostsTheShiftFlagAsShiftHeldAroundTheKey) {
    prepare("");
    // Tk pastes CLIPBOARD on Shift-Insert and PRIMARY on a plain Insert.
    auto primary = ownSelection(display, "PQ", "primary");
    ASSERT_TRUE(primary);

    press(*source, keycode::kInsert, 1, keycode::kShiftFlag);
    EXPECT_EQ(field.waitForContents("XY"), "XY");
    // Shift was released with the key: a key posted next is not shifted.
    press(*source, keycode::kA);
    EXPECT_EQ(field.waitForContents("XYa"), "XYa");
    const auto keys = recorder->waitForKeys(3);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].keyCode, 56);  // left Shift
    EXPECT_EQ(keys[1].keyCode, keycode::kInsert);
}

TEST(KeyPoster, MakesNoSourceWithoutDisplayOrXTest) {
    X11KeyPoster noDisplay(":4093");
    EXPECT_EQ(noDisplay.createEventSource(), nullptr);

    testsupport::XvfbServer withoutXTest({"-extension", "XTEST"});
    ASSERT_TRUE(withoutXTest.started());
    X11KeyPoster poster(withoutXTest.display());
    EXPECT_EQ(poster.createEventSource(), nullptr);
}
