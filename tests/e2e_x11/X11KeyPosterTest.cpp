#include <gtest/gtest.h>

#include <filesystem>

#include "X11TestSupport.h"
#include "desktop/KeyCodes.h"
#include "desktop/X11KeyPoster.h"
#include "support/TkTextField.h"

using namespace desktop;

namespace {

void press(KeyEventSource& source, int keyCode, int times = 1, uint64_t flags = 0) {
    for (int i = 0; i < times; ++i) {
        source.postKey(keyCode, true, flags);
        source.postKey(keyCode, false, flags);
    }
}

// Puts text on the clipboard through xclip, kept in the foreground so it is stopped by its PID.
std::unique_ptr<testsupport::ChildProcess> ownClipboard(const std::string& display, const std::string& text) {
    const std::string directory = x11test::temporaryDirectory();
    const std::string file = directory + "/clipboard.txt";
    FILE* out = std::fopen(file.c_str(), "w");
    std::fputs(text.c_str(), out);
    std::fclose(out);
    auto owner = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", file},
        std::vector<std::string>{"DISPLAY=" + display});
    std::string seen;
    for (int i = 0; i < 200 && seen != text; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        x11test::run(display, {"timeout", "2", "xclip", "-o", "-selection", "clipboard"}, &seen);
    }
    std::filesystem::remove_all(directory);
    return seen == text ? std::move(owner) : nullptr;
}

}  // namespace

TEST(KeyPoster, BackspacesPasteAndLeftArrowsEditTheFocusedFieldAndComeBackThroughTheTap) {
    const auto display = x11test::sharedServer().display();
    testsupport::TkTextField field;
    ASSERT_TRUE(field.start(display));
    ASSERT_TRUE(field.focus());
    ASSERT_EQ(field.contents(), "");
    ASSERT_EQ(x11test::run(display, {"xdotool", "type", "abcdef"}), 0);
    ASSERT_EQ(field.waitForContents("abcdef"), "abcdef");
    auto clipboard = ownClipboard(display, "XY");
    ASSERT_TRUE(clipboard);

    x11test::RecordingTap recorder(display);
    ASSERT_TRUE(recorder.recording());
    X11KeyPoster poster(display);
    auto source = poster.createEventSource();
    ASSERT_TRUE(source);
    press(*source, keycode::kDelete, 2);
    press(*source, keycode::kV, 1, keycode::kCommandFlag);
    // Tk handles keys that arrive while it fetches the clipboard before it inserts the text.
    EXPECT_EQ(field.waitForContents("abcdXY"), "abcdXY");
    press(*source, keycode::kLeftArrow, 2);

    // The caret now stands before "XY".
    press(*source, keycode::kA);
    EXPECT_EQ(field.waitForContents("abcdaXY"), "abcdaXY");

    const auto keys = recorder.waitForKeys(7);
    std::vector<int> codes;
    for (const auto& key : keys) codes.push_back(key.keyCode);
    // The Command flag arrives as the left Control key held around V.
    EXPECT_EQ(codes, (std::vector<int>{keycode::kDelete, keycode::kDelete, 59, keycode::kV, keycode::kLeftArrow,
                                       keycode::kLeftArrow, keycode::kA}));
}

TEST(KeyPoster, MakesNoSourceWithoutDisplayOrXTest) {
    X11KeyPoster noDisplay(":4093");
    EXPECT_EQ(noDisplay.createEventSource(), nullptr);

    testsupport::XvfbServer withoutXTest({"-extension", "XTEST"});
    ASSERT_TRUE(withoutXTest.started());
    X11KeyPoster poster(withoutXTest.display());
    EXPECT_EQ(poster.createEventSource(), nullptr);
}
