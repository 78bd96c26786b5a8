#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "X11TestSupport.h"
#include "desktop/x11/X11KeyLayout.h"
#include "support/TkTextField.h"

using desktop::KeyDown;
using desktop::KeyTap;
using x11test::RecordingTap;

TEST(KeyTap, DeliversKeyDownsWithTheStateTheyWereTypedIn) {
    const auto display = x11test::sharedServer().display();
    testsupport::TkTextField field;
    ASSERT_TRUE(field.start(display));
    ASSERT_TRUE(field.focus());
    ASSERT_EQ(field.contents(), "");
    desktop::X11KeyLayout layout(display);
    // xdotool binds 'é' to a spare keycode only while it types it, so the text is looked up as
    // each key arrives, as the engine does.
    std::vector<std::string> texts;
    RecordingTap recorder(display, [&](const KeyDown& key) { texts.push_back(layout.text(key)); });
    ASSERT_TRUE(recorder.recording());

    ASSERT_EQ(x11test::run(display, {"xdotool", "type", "--delay", "20", ";:é"}), 0);
    const auto keys = recorder.waitForKeys(4);  // releases are not delivered
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(texts, (std::vector<std::string>{";", "", ":", "é"}));
    EXPECT_EQ(keys[0].keyCode, 41);
    EXPECT_EQ(keys[0].xKeycode, 47u);
    EXPECT_EQ(keys[0].xState, 0u);
    EXPECT_EQ(keys[1].keyCode, 56);  // left Shift
    EXPECT_EQ(keys[2].keyCode, 41);
    EXPECT_EQ(keys[2].xState & ShiftMask, static_cast<unsigned>(ShiftMask));
    EXPECT_EQ(recorder.stop(), KeyTap::RunResult::stopped);
}

TEST(KeyTap, StopEndsRunAtEveryStage) {
    const auto display = x11test::sharedServer().display();
    desktop::X11KeyTap early(display);
    ASSERT_TRUE(early.create([](const KeyDown&) {}, {}));
    early.stop();
    EXPECT_EQ(early.run(), KeyTap::RunResult::stopped);

    // While the recording may still be starting; stop() and the recording's start meet in every
    // order here (run under ThreadSanitizer too).
    for (int i = 0; i < 100; ++i) {
        desktop::X11KeyTap tap(display);
        ASSERT_TRUE(tap.create([](const KeyDown&) {}, {}));
        auto run = std::async(std::launch::async, [&] { return tap.run(); });
        std::this_thread::sleep_for(std::chrono::microseconds(i * 10));
        tap.stop();
        const bool ended = run.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        EXPECT_TRUE(ended) << "stop() after " << i * 10 << " us was lost";
        if (!ended) tap.stop();  // the recording runs by now: this one ends it
        EXPECT_EQ(run.get(), KeyTap::RunResult::stopped);
    }
}
