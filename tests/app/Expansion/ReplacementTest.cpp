// What a match does to the frontmost application and the clipboard: the keys posted, the
// clipboard saved and put back, the caret moved.
#include "EngineHarness.h"

using namespace enginetest;
using sablix::TextReplacer;

namespace {

class ReplacementTest : public EngineHarness {
protected:
    void SetUp() override {
        EngineHarness::SetUp();
        storeLibrary({snippet("sig", "Best regards"), snippet("addr", "Main Street"), snippet("clip", "[{clipboard}]"),
                      snippet("e", "x{cursor}\xF0\x9F\x91\x8D!"), snippet("long", "x{cursor}" + std::string(300, 'y')),
                      snippet("mail", "Dear {fill:Name}, re {fill:Topic}{cursor}!")});
        pasteboard.setString("user text");
        start();
    }
    static Entries paste(const std::string& text) { return {"9 down cmd", "paste " + text, "9 up cmd"}; }
};

}  // namespace

TEST_F(ReplacementTest, ClipboardLeftAloneWhenChangedOrEmpty) {
    // The user copies something while the restore waits.
    onPause = [this](ms duration) {
        if (duration == sablix::ClipboardKeeper::kDelayBeforeRestore) pasteboard.setString("copied meanwhile");
    };
    type(";sig");
    EXPECT_EQ(pasteboard.string(), "copied meanwhile");

    // Nobody owned the clipboard before: nobody owns it afterwards, and the snippet is gone.
    onPause = nullptr;
    pasteboard.clear();
    type(";sig");
    EXPECT_EQ(pasteboard.contents(ms(0)), std::nullopt);
    EXPECT_EQ(pasteboard.string(), std::nullopt);
}

// A busy application asks for the paste late: the snippet stays on the clipboard until 300 ms after
// its request, or until 2 s have passed without one (logged).
TEST_F(ReplacementTest, ClipboardWaitsForTheTargetsRequestBeforeComingBack) {
    const std::string neverAsked = "The application never asked for the pasted snippet; putting the clipboard back";
    targetPastesAtOnce = false;
    restoreTimer.hold();
    for (const auto& key : layout.keysFor(";sig")) press(key);
    ASSERT_TRUE(restoreTimer.waitForHeld(1));
    restoreTimer.advance(ms(600));
    EXPECT_EQ(pasteboard.serve(), "Best regards");
    ASSERT_TRUE(restoreTimer.waitForHeld(2));
    restoreTimer.advance(ms(299));
    EXPECT_EQ(pasteboard.string(), "Best regards");  // it may ask again, as some do
    restoreTimer.advance(ms(1));
    EXPECT_EQ(pasteboard.string(), "user text");
    restoreTimer.advance(ms(2000));
    EXPECT_FALSE(logs.has("TextReplacer", neverAsked));

    for (const auto& key : layout.keysFor(";sig")) press(key);
    ASSERT_TRUE(restoreTimer.waitForHeld(1));
    restoreTimer.advance(ms(1999));
    EXPECT_EQ(pasteboard.string(), "Best regards");
    restoreTimer.advance(ms(1));
    EXPECT_EQ(pasteboard.string(), "user text");
    EXPECT_TRUE(logs.has("TextReplacer", neverAsked));
    restoreTimer.release();
}

// One Left arrow per character after the mark, never more than 200.
TEST_F(ReplacementTest, CaretStepsBackOncePerCharacterAtMost200Times) {
    type(";e");
    EXPECT_EQ(leftArrows(), 2u);
    timeline.clear();
    type(";long");
    EXPECT_EQ(leftArrows(), 200u);
}

TEST_F(ReplacementTest, TriggerTypedWhileTheRestoreWaitsTakesOverTheUsersClipboard) {

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
    EXPECT_TRUE(pasted("[user text]"));
    EXPECT_EQ(pasteboard.string(), "user text");

    // Shutting down carries a waiting restore out at once.
    restoreTimer.hold();
    for (const auto& key : layout.keysFor(";sig")) press(key);
    ASSERT_TRUE(restoreTimer.waitForHeld(1));
    replacer->shutDown();
    EXPECT_EQ(pasteboard.string(), "user text");
}

TEST_F(ReplacementTest, TerminalsGetShiftInsertAndBothSelectionsBack) {
    primarySelection.setString("selected text");
    workspace.setFrontmost(testsupport::FakeWorkspace::application(kEditorPid, "XTerm"));
    onPause = [this](ms duration) {
        if (duration == sablix::ClipboardKeeper::kDelayBeforeRestore) {
            EXPECT_EQ(primarySelection.string(), "Best regards");
        }
    };
    type(";sig");
    EXPECT_EQ(keyEntries(), concat({backspaces(4), {"114 down shift", "114 up shift"}}));
    EXPECT_EQ(pasteboard.string(), "user text");
    EXPECT_EQ(primarySelection.string(), "selected text");
}

TEST_F(ReplacementTest, FailuresStopBeforeAnythingWrongIsPasted) {
    poster.setRefuseSources(true);
    type(";sig");
    EXPECT_TRUE(timeline.entries().empty());
    EXPECT_EQ(pasteboard.string(), "user text");

    // A clipboard that refuses the snippet: Command-V would paste the user's text instead.
    poster.setRefuseSources(false);
    pasteboard.setRefuseWrites(true);
    type(";sig");
    EXPECT_EQ(keyEntries(), backspaces(4));
}

TEST_F(ReplacementTest, FillInPastesTheValuesAsTypedOrNothingWhenCancelled) {
    const int writesBefore = pasteboard.writeCount();

    type(";mail");
    ASSERT_TRUE(fillIn.waitForShow());
    EXPECT_EQ(fillIn.requests()[0], (Entries{"Name", "Topic"}));
    fillIn.answer(std::nullopt);
    replacer->waitUntilIdle();
    EXPECT_EQ(keyEntries(), backspaces(5));
    EXPECT_EQ(pasteboard.writeCount(), writesBefore);

    // Values are not trimmed, and fields typed into a value are expanded like the content's own.
    type(";mail");
    ASSERT_TRUE(fillIn.waitForShow(2));
    timeline.clear();
    fillIn.answer(sablix::FillInPresenter::Values{{"Name", " Ann "}, {"Topic", "{clipboard}x"}});
    replacer->waitUntilIdle();
    EXPECT_EQ(timeline.entries(), concat({{"pause 200"},
                                          paste("Dear  Ann , re user textx!"),
                                          {"pause 100"},
                                          {"123 down", "123 up"},
                                          {"restore after 300"}}));
    EXPECT_EQ(pasteboard.string(), "user text");
}

// Keys typed during a replacement are held: the keyboard is let go for every burst the engine
// posts (posted keys obey the hold too) and, on every path, for good once the replacement ends,
// after the paste.
TEST_F(ReplacementTest, HeldKeyboardIsLetGoForEveryBurstAndAtTheEnd) {
    keyboardGrab.setGrantHolds(true);
    keyboardGrab.setHook([this](const std::string& change) { timeline.add(change); });
    poster.setHook([this](const testsupport::PostedKey& key) {
        EXPECT_FALSE(keyboardGrab.grabbed()) << key.keyCode << " posted into the hold";
        timeline.add(std::to_string(key.keyCode) + (key.keyDown ? " down" : " up"));
        // The target pastes at once, so the hold ends as soon as the paste is fetched.
        if (key.keyDown && key.keyCode == desktop::keycode::kV) pasteboard.serve();
    });
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::string trigger;
        Entries expected;
    } paths[] = {
        {"caret moved", [] {}, ";e",
         concat({{"grab", "ungrab"},
                 backspaces(2),
                 {"grab", "pause 50", "ungrab", "9 down", "9 up", "grab"},
                 {"pause 100", "ungrab", "123 down", "123 up", "123 down", "123 up", "grab"},
                 {"restore after 300", "let go"}})},
        {"no event source", [this] { poster.setRefuseSources(true); }, ";sig", {"grab", "let go"}},
        {"clipboard refuses the snippet",
         [this] {
             poster.setRefuseSources(false);
             pasteboard.setRefuseWrites(true);
         },
         ";sig", concat({{"grab", "ungrab"}, backspaces(4), {"grab", "pause 50", "let go"}})},
    };
    for (const auto& path : paths) {
        timeline.clear();
        path.arrange();
        type(path.trigger);
        EXPECT_EQ(timeline.entries(), path.expected) << path.name;
        EXPECT_EQ(keyboardGrab.holds(), 0) << path.name;
        EXPECT_FALSE(keyboardGrab.grabbed()) << path.name;
    }
}

// Keys typed between the trigger and the moment the keyboard is really held reach the application
// before the snippet: the erase takes what they typed too, and they are typed again after it, in
// order and with their modifiers. Keys the tap shows after the hold took effect are not theirs.
TEST_F(ReplacementTest, KeysThatReachedTheTargetBeforeTheHoldAreErasedAndTypedAgain) {
    const desktop::KeyDown marker{desktop::keycode::kUnknown, 255, 0};
    keyboardGrab.setGrantHolds(true);
    keyboardGrab.setMarker(marker);
    const std::string arrow = "\xEF\x9C\x82";  // what the layout answers for Left
    const struct {
        std::vector<desktop::KeyDown> leaked;
        size_t backspaces;
    } cases[] = {
        {layout.keysFor(" bC"), 4 + 3},
        {{testsupport::FakeKeyLayout::silentKey(), layout.keyFor(arrow), testsupport::FakeKeyLayout::deleteKey(),
          testsupport::FakeKeyLayout::forwardDeleteKey(), layout.keyFor("x")},
         4},
    };
    const auto codes = [](const std::vector<desktop::KeyDown>& keys) {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const auto& key : keys) out.emplace_back(key.xKeycode, key.xState);
        return out;
    };
    for (const auto& c : cases) {
        timeline.clear();
        const size_t before = keyboardGrab.reposted().size();
        for (const auto& key : layout.keysFor(";sig")) press(key);
        for (const auto& key : c.leaked) press(key);
        press(marker);
        press(layout.keyFor("z"));
        replacer->waitUntilIdle();
        EXPECT_EQ(keyEntries(), concat({backspaces(c.backspaces), {"9 down cmd", "9 up cmd"}}));
        const auto reposted = keyboardGrab.reposted();
        EXPECT_EQ(codes({reposted.begin() + static_cast<ptrdiff_t>(before), reposted.end()}), codes(c.leaked));
    }
}
