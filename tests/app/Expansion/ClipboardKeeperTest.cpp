#include "EngineHarness.h"
#include "Expansion/ClipboardKeeper.h"

using sablix::ClipboardKeeper;

// A paste made while an earlier one's restore still waits takes that restore over: the user's
// clipboard (every format of it), not the earlier snippet, is what comes back, once, however late
// the earlier paste's own restore tasks fire. Unless someone copied in between: then theirs is the
// clipboard to keep. PRIMARY, written by the first paste (a terminal) and not by the second, goes
// back as soon as the second is saved.
TEST(ClipboardKeeperTest, LaterPasteTakesTheWaitingRestoreOverAndTheUsersClipboardComesBackOnce) {
    const desktop::PasteboardContents users{
        {{testsupport::FakePasteboard::kTextType, "user text"}, {"image/png", "\x89PNG"}}};
    const desktop::PasteboardContents copiedMeanwhile{{{testsupport::FakePasteboard::kTextType, "copied"}}};
    const testsupport::LogCapture logs;  // the second paste is never fetched: its restore says so
    for (const bool someoneCopied : {false, true}) {
        SCOPED_TRACE(someoneCopied ? "someone copied in between" : "nobody copied in between");
        testsupport::FakePasteboard clipboard;
        testsupport::FakePasteboard primarySelection;
        clipboard.setContents(users);
        primarySelection.setString("selected text");
        enginetest::RestoreTimer timer;
        timer.hold();
        ClipboardKeeper keeper(clipboard, primarySelection, &timer);

        auto first = keeper.startSaving({&clipboard, &primarySelection}).get();
        ASSERT_TRUE(keeper.putSnippet(first, "first snippet"));
        keeper.restoreLater(std::move(first));
        EXPECT_EQ(clipboard.serve(), "first snippet");
        ASSERT_TRUE(timer.waitForHeld(2));  // the wait for the request, and the delay after it
        if (someoneCopied) clipboard.setContents(copiedMeanwhile);

        const int readsBefore = clipboard.readCount();
        auto second = keeper.save({&clipboard});
        EXPECT_EQ(primarySelection.string(), "selected text");
        EXPECT_EQ(clipboard.readCount(), readsBefore + (someoneCopied ? 1 : 0));
        EXPECT_EQ(keeper.userClipboardText(second), someoneCopied ? "copied" : "user text");
        ASSERT_TRUE(keeper.putSnippet(second, "second snippet"));
        keeper.restoreLater(std::move(second));
        ASSERT_TRUE(timer.waitForHeld(3));

        // The earlier paste's tasks fall due first, the one after its request among them: the
        // restore is no longer theirs to carry out.
        const int writesBefore = clipboard.writeCount();
        timer.advance(ClipboardKeeper::kLongestWaitForPasteRequest - std::chrono::milliseconds(1));
        EXPECT_EQ(clipboard.string(), "second snippet");
        timer.advance(std::chrono::milliseconds(1));
        EXPECT_EQ(clipboard.stored().formats, (someoneCopied ? copiedMeanwhile : users).formats);
        EXPECT_EQ(clipboard.writeCount(), writesBefore + 1);
    }
}
