// The engine's handling of keys: what reaches the buffer and what a match records.
#include <atomic>
#include <thread>

#include "EngineHarness.h"

using namespace enginetest;
using testsupport::FakeKeyLayout;
using testsupport::FakeWorkspace;

namespace {

class KeyHandlingTest : public EngineHarness {
protected:
    void SetUp() override {
        EngineHarness::SetUp();
        storeLibrary({snippet("sig", "Best regards")});
    }
};

}  // namespace

TEST_F(KeyHandlingTest, KeysWhileOwnWindowIsFrontAreIgnored) {
    start();
    workspace.setFrontmost(FakeWorkspace::application(kOwnPid, "sablix"));
    type(";si");
    workspace.setFrontmost(FakeWorkspace::application(kEditorPid, "Editor"));
    type("g");
    EXPECT_TRUE(timeline.entries().empty()) << "\";si\" typed into our own window must not count";

    // A window that names no process is somebody else's.
    workspace.setFrontmost(FakeWorkspace::application(0, ""));
    type(";sig");
    EXPECT_TRUE(pasted("Best regards"));
}

// Half a trigger typed in one window and the rest in another is no trigger.
TEST_F(KeyHandlingTest, KeysOfAnotherWindowStartTheBufferAfresh) {
    start();
    workspace.setFrontmost(FakeWorkspace::application(kEditorPid, "Editor", 1));
    type(";si");
    workspace.setFrontmost(FakeWorkspace::application(kEditorPid, "Editor", 2));
    type("g");
    EXPECT_TRUE(timeline.entries().empty());
    type(";sig");
    EXPECT_TRUE(pasted("Best regards"));
}

TEST_F(KeyHandlingTest, StaleTriggerInsideTheBufferErasesNothing) {
    storeLibrary({});
    start();
    // Typed before the snippet existed; the trigger is inside the buffer, not at its end.
    type(";sigx");
    storeLibrary({snippet("sig", "Best regards")});
    replacer->refreshSnippetCache();
    type("y");
    EXPECT_TRUE(timeline.entries().empty());

    // Delete brings the trigger back to the end, but a Delete never matches; the next key
    // puts it inside again. Erasing four characters now would eat the wrong ones.
    replacer->setTriggerCache(std::make_shared<const sablix::TriggerCache>());
    type(";sigx");
    replacer->refreshSnippetCache();
    press(FakeKeyLayout::deleteKey());
    type("z");
    EXPECT_TRUE(timeline.entries().empty());

    type(";sih");
    press(FakeKeyLayout::deleteKey());
    type("g");
    EXPECT_EQ(keyEntries(), concat({backspaces(4), {"9 down cmd", "9 up cmd"}})) << "the g completes ;sig";
}

// Recorded once per installation; a store that refuses the flag must not make it fire again
// in the same run.
TEST_F(KeyHandlingTest, FirstExpansionIsRecordedOnce) {
    start();
    type(";sig");
    replacer.reset();
    start();
    type(";sig");
    EXPECT_EQ(analytics.names(), (Entries{"snippet_expand", "first_snippet_expand", "snippet_expand"}));
    for (const auto& [name, properties] : analytics.events()) EXPECT_TRUE(properties.empty()) << name;

    ASSERT_TRUE(defaults.remove(sablix::TextReplacer::kHasFiredFirstExpansionKey));
    defaults.setFailWrites(true);
    replacer.reset();
    start();
    type(";sig");
    type(";sig");
    EXPECT_EQ(std::ranges::count(analytics.names(), std::string("first_snippet_expand")), 2);
    EXPECT_EQ(analytics.names().size(), 6u);
}

// Keys read the trigger cache without waiting for anyone, while rebuilds swap it from another
// thread: every key must see a whole cache, old or new, and every trigger typed meanwhile expands.
TEST_F(KeyHandlingTest, KeysHandledWhileTheCacheIsRebuiltSeeAWholeCache) {
    start();
    std::atomic<bool> typing{true};
    std::thread rebuilds([&] {
        while (typing) replacer->refreshSnippetCache();
    });
    constexpr int kTriggers = 40;
    for (int i = 0; i < kTriggers; ++i) type("x;sig");
    typing = false;
    rebuilds.join();
    EXPECT_EQ(std::ranges::count(timeline.entries(), std::string("paste Best regards")), kTriggers);
}
