#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>

#include "X11TestSupport.h"
#include "desktop/KeyCodes.h"
#include "desktop/x11/X11KeyPoster.h"
#include "support/ModelsTestSupport.h"
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
                                                        const std::string& selection) {
    modelstest::TempDir directory;
    modelstest::writeFile(directory.path() / "selection.txt", text);
    auto owner = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"xclip", "-quiet", "-selection", selection, directory.path() / "selection.txt"},
        std::vector<std::string>{"DISPLAY=" + display});
    std::string seen;
    for (int i = 0; i < 200 && seen != text; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        x11test::run(display, {"timeout", "2", "xclip", "-o", "-selection", selection}, &seen);
    }
    return seen == text ? std::move(owner) : nullptr;
}

}  // namespace

// The user's fingers are often still on Shift (from ':' or a capital) or Control when the engine
// posts its keys: the application must see only the flags the engine names. Terminals paste on
// Shift-Insert, so the Shift flag is posted as Shift held around the key, and released after it.
TEST(KeyPoster, PostedKeysCarryOnlyTheFlagsTheEngineNames) {
    const std::string display = x11test::sharedServer().display();
    testsupport::TkTextField field;
    ASSERT_TRUE(field.start(display));
    ASSERT_TRUE(field.focus());
    ASSERT_EQ(x11test::run(display, {"xdotool", "type", "one two;sig"}), 0);
    ASSERT_EQ(field.waitForContents("one two;sig"), "one two;sig");
    // Tk pastes CLIPBOARD on Control-V and Shift-Insert, PRIMARY on a plain Insert.
    const auto clipboard = ownSelection(display, "XY", "clipboard");
    const auto primary = ownSelection(display, "PQ", "primary");
    ASSERT_TRUE(clipboard && primary);
    x11test::RecordingTap recorder(display);
    ASSERT_TRUE(recorder.recording());
    X11KeyPoster poster(display);
    const auto source = poster.createEventSource();
    ASSERT_TRUE(source);

    // Shift held: Control-Shift-V would not paste, Shift-Left would select the "Y" that the
    // typed "a" then replaced.
    ASSERT_EQ(x11test::run(display, {"xdotool", "keydown", "Shift_L"}), 0);
    press(*source, keycode::kDelete, 4);
    press(*source, keycode::kV, 1, keycode::kCommandFlag);
    // Tk handles keys that arrive while it fetches the clipboard before it inserts the text.
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

    press(*source, keycode::kInsert, 1, keycode::kShiftFlag);
    EXPECT_EQ(field.waitForContents("one twobXYXY"), "one twobXYXY");
    press(*source, keycode::kA);
    EXPECT_EQ(field.waitForContents("one twobXYaXY"), "one twobXYaXY");

    // What the application received, as the server delivered it.
    const std::vector<int> posted = {keycode::kDelete, keycode::kV, keycode::kLeftArrow,
                                     keycode::kA,      11,          keycode::kInsert};
    std::vector<std::pair<int, unsigned>> seen;
    for (const auto& key : recorder.waitForKeys(16))
        if (std::find(posted.begin(), posted.end(), key.keyCode) != posted.end())
            seen.emplace_back(key.keyCode, key.xState & (ShiftMask | ControlMask));
    const std::vector<std::pair<int, unsigned>> expected = {{keycode::kDelete, 0},
                                                            {keycode::kDelete, 0},
                                                            {keycode::kDelete, 0},
                                                            {keycode::kDelete, 0},
                                                            {keycode::kV, ControlMask},
                                                            {keycode::kLeftArrow, 0},
                                                            {keycode::kA, 0},
                                                            {keycode::kDelete, 0},
                                                            {keycode::kLeftArrow, 0},
                                                            {11, 0},
                                                            {keycode::kInsert, ShiftMask},
                                                            {keycode::kA, 0}};
    EXPECT_EQ(seen, expected);
}
