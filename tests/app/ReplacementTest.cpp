// What a match does to the frontmost application and the clipboard: the keys posted, the
// pauses between them, the clipboard saved and put back, the caret moved.
#include "EngineHarness.h"

using namespace enginetest;
using Entries = std::vector<std::string>;

namespace {

class ReplacementTest : public EngineHarness {
protected:
    static Entries concat(std::initializer_list<Entries> parts) {
        Entries all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    }
    static Entries lefts(size_t count) {
        Entries entries;
        for (size_t i = 0; i < count; ++i) {
            entries.push_back("123 down");
            entries.push_back("123 up");
        }
        return entries;
    }
    static Entries paste(const std::string& text) { return {"9 down cmd", "paste " + text, "9 up cmd"}; }
};

const std::string kPng("\x89PNG\r\n\x1a\n\0\0binary", 16);

}  // namespace

TEST_F(ReplacementTest, DirectRoadErasesPastesAndRestores) {
    storeLibrary({snippet("sig", "Best regards")});
    pasteboard.setContents({{{testsupport::FakePasteboard::kTextType, "user text"}, {"image/png", kPng}}});
    start();

    type(";sig");
    EXPECT_EQ(timeline.entries(), concat({backspaces(4), {"pause 50"}, paste("Best regards"), {"restore after 300"}}));
    // Every format came back, the image too.
    const auto restored = pasteboard.stored().formats;
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(restored[0].second, "user text");
    EXPECT_EQ(restored[1], (std::pair<std::string, std::string>{"image/png", kPng}));
}

TEST_F(ReplacementTest, ClipboardLeftAloneWhenChangedOrEmpty) {
    storeLibrary({snippet("sig", "Best regards")});
    pasteboard.setString("user text");
    start();

    // The user copies something while the restore waits.
    onPause = [this](ms duration) {
        if (duration == sablix::TextReplacer::kDelayBeforeClipboardRestore) pasteboard.setString("copied meanwhile");
    };
    type(";sig");
    EXPECT_EQ(pasteboard.string(), "copied meanwhile");

    // Nobody owned the clipboard before: the snippet stays on it.
    onPause = nullptr;
    pasteboard.clear();
    type(";sig");
    EXPECT_EQ(pasteboard.string(), "Best regards");
}

TEST_F(ReplacementTest, CursorMarkMovesCaretWithLeftArrowsAtMost200) {
    storeLibrary({snippet("c", "a{cursor}bc"), snippet("end", "abc{cursor}"),
                  snippet("long", "x{cursor}" + std::string(300, 'y'))});
    start();

    type(";c");
    EXPECT_EQ(timeline.entries(),
              concat({backspaces(2), {"pause 50"}, paste("abc"), {"pause 100"}, lefts(2), {"restore after 300"}}));

    timeline.clear();
    type(";end");  // mark at the end: no caret step at all
    EXPECT_EQ(timeline.entries(), concat({backspaces(4), {"pause 50"}, paste("abc"), {"restore after 300"}}));

    timeline.clear();
    type(";long");
    const auto keys = keyEntries(timeline.entries());
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "123 down"), 200);
}

TEST_F(ReplacementTest, CaretSetThroughAccessibilityCountsUtf16Units) {
    // "👍" is one character but two UTF-16 units.
    storeLibrary({snippet("e", "x{cursor}\xF0\x9F\x91\x8D!")});
    accessibility.setSelection(desktop::TextRange{10, 0}, true);
    start();

    type(";e");
    EXPECT_EQ(keyEntries(timeline.entries()), concat({backspaces(2), {"9 down cmd", "9 up cmd"}}));
    ASSERT_EQ(accessibility.setRanges().size(), 1u);
    EXPECT_EQ(accessibility.setRanges()[0].location, 7);
    EXPECT_EQ(accessibility.setRanges()[0].length, 0);

    // When the element refuses, Left arrows go once per character.
    accessibility.setSelection(desktop::TextRange{10, 0}, false);
    timeline.clear();
    type(";e");
    const auto keys = keyEntries(timeline.entries());
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "123 down"), 2);
}

TEST_F(ReplacementTest, TriggerTypedWhileTheRestoreWaitsTakesOverTheUsersClipboard) {
    storeLibrary({snippet("sig", "Best regards"), snippet("addr", "Main Street"), snippet("clip", "[{clipboard}]")});
    pasteboard.setString("user text");
    start();

    // The second replacement neither waits for the first one's restore nor saves the first
    // snippet as "the user's clipboard".
    restoreTimer.hold();
    for (const auto& key : layout.keysFor(";sig;addr")) press(key);
    ASSERT_TRUE(restoreTimer.waitForHeld(2));
    EXPECT_EQ(timeline.entries(), concat({backspaces(4),
                                          {"pause 50"},
                                          paste("Best regards"),
                                          {"restore after 300"},
                                          backspaces(5),
                                          {"pause 50"},
                                          paste("Main Street"),
                                          {"restore after 300"}}));
    restoreTimer.release();
    replacer->waitUntilIdle();
    EXPECT_EQ(pasteboard.string(), "user text");

    // {clipboard} reads the user's clipboard, not the snippet still sitting on it.
    restoreTimer.hold();
    for (const auto& key : layout.keysFor(";sig;clip")) press(key);
    ASSERT_TRUE(restoreTimer.waitForHeld(2));
    restoreTimer.release();
    replacer->waitUntilIdle();
    const auto entries = timeline.entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "paste [user text]"), entries.end());
    EXPECT_EQ(pasteboard.string(), "user text");

    // Shutting down carries a waiting restore out at once.
    restoreTimer.hold();
    for (const auto& key : layout.keysFor(";sig")) press(key);
    ASSERT_TRUE(restoreTimer.waitForHeld(1));
    replacer->shutDown();
    EXPECT_EQ(pasteboard.string(), "user text");
}

TEST_F(ReplacementTest, TerminalsGetShiftInsertWithTheSnippetOnBothSelections) {
    storeLibrary({snippet("sig", "Best regards")});
    pasteboard.setString("user text");
    primarySelection.setString("selected text");
    workspace.setFrontmost(testsupport::FakeWorkspace::application(kEditorPid, "XTerm"));
    start();

    onPause = [this](ms duration) {
        if (duration == sablix::TextReplacer::kDelayBeforeClipboardRestore) {
            EXPECT_EQ(primarySelection.string(), "Best regards");
        }
    };
    type(";sig");
    EXPECT_EQ(keyEntries(timeline.entries()), concat({backspaces(4), {"114 down shift", "114 up shift"}}));
    EXPECT_EQ(pasteboard.string(), "user text");
    EXPECT_EQ(primarySelection.string(), "selected text");
    for (const char* name : {"URxvt", "gnome-terminal", "kitty"})
        EXPECT_TRUE(sablix::TextReplacer::isTerminalEmulator(name));
    EXPECT_FALSE(sablix::TextReplacer::isTerminalEmulator("Firefox"));
}

TEST_F(ReplacementTest, FailuresStopBeforeAnythingWrongIsPasted) {
    storeLibrary({snippet("sig", "Best regards")});
    pasteboard.setString("user text");
    start();

    poster.setRefuseSources(true);
    type(";sig");
    EXPECT_TRUE(timeline.entries().empty());
    EXPECT_TRUE(logs.contains(platform::LogLevel::Error, "Failed to create event source for text replacement"));
    EXPECT_EQ(pasteboard.string(), "user text");

    // A clipboard that refuses the snippet: Command-V would paste the user's text instead.
    poster.setRefuseSources(false);
    pasteboard.setRefuseWrites(true);
    type(";sig");
    EXPECT_EQ(keyEntries(timeline.entries()), backspaces(4));
}

TEST_F(ReplacementTest, FillInRoadPastesFilledValuesAfterTheDialog) {
    storeLibrary({snippet("mail", "Dear {fill:Name}, re {fill:Topic}{cursor}!")});
    pasteboard.setString("user text");
    start();

    type(";mail");
    ASSERT_TRUE(fillIn.waitForShow());
    EXPECT_EQ(fillIn.requests()[0], (std::vector<std::string>{"Name", "Topic"}));
    EXPECT_TRUE(logs.contains(platform::LogLevel::Info, "Snippet has 2 fill-in field(s), showing dialog"));
    EXPECT_EQ(timeline.entries(), concat({backspaces(5), {"pause 50"}}));

    timeline.clear();
    fillIn.answer(sablix::FillInPresenter::Values{{"Name", " Ann "}, {"Topic", "{date+0:short}x"}});
    replacer->waitUntilIdle();
    const auto entries = timeline.entries();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[0], "pause 200");
    EXPECT_EQ(entries[1], "9 down cmd");
    // Values are not trimmed, and fields typed into a value are expanded like the content's own.
    EXPECT_EQ(entries[2].rfind("paste Dear  Ann , re ", 0), 0u) << entries[2];
    EXPECT_EQ(entries[2].find("{date"), std::string::npos) << entries[2];
    EXPECT_EQ(entries[2].back(), '!');
    EXPECT_EQ(Entries(entries.begin() + 3, entries.end()),
              concat({{"9 up cmd", "pause 100"}, lefts(1), {"restore after 300"}}));
    EXPECT_EQ(pasteboard.string(), "user text");
}

TEST_F(ReplacementTest, CancelledFillInPastesNothing) {
    storeLibrary({snippet("mail", "Dear {fill:Name}")});
    pasteboard.setString("user text");
    start();
    const int writesBefore = pasteboard.writeCount();

    type(";mail");
    ASSERT_TRUE(fillIn.waitForShow());
    fillIn.answer(std::nullopt);
    replacer->waitUntilIdle();
    EXPECT_EQ(keyEntries(timeline.entries()), backspaces(5));
    EXPECT_EQ(pasteboard.writeCount(), writesBefore);
}
