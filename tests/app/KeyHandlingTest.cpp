// The engine's handling of keys: what reaches the buffer, what matches, what a match records.
#include "EngineHarness.h"

using namespace enginetest;
using testsupport::FakeKeyLayout;

namespace {

class KeyHandlingTest : public EngineHarness {};

}  // namespace

TEST_F(KeyHandlingTest, TypedTriggerIsReplacedCaseIgnored) {
    storeLibrary({snippet("Sig", "Best regards")});
    start();

    type("Hello ;SIG");
    EXPECT_EQ(pasteboard.writeCount(), 1) << "the snippet only: there was no clipboard to restore";
    const auto entries = timeline.entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "paste Best regards"), entries.end());
    EXPECT_TRUE(logs.contains(platform::LogLevel::Info, "Matched snippet: Sig"));

    // The buffer was emptied by the match: typing more does not match again.
    timeline.clear();
    type("x");
    EXPECT_TRUE(timeline.entries().empty());
}

TEST_F(KeyHandlingTest, KeysWhileOwnWindowIsFrontAreIgnored) {
    storeLibrary({snippet("sig", "Best regards")});
    start();

    workspace.setFrontmost(testsupport::FakeWorkspace::application(kOwnPid, "sablix"));
    type(";si");
    workspace.setFrontmost(testsupport::FakeWorkspace::application(kEditorPid, "Editor"));
    type("g");
    EXPECT_TRUE(timeline.entries().empty()) << "\";si\" typed into our own window must not count";

    // A window that names no process is somebody else's.
    workspace.setFrontmost(testsupport::FakeWorkspace::application(0, ""));
    type(";sig");
    EXPECT_FALSE(timeline.entries().empty());
}

TEST_F(KeyHandlingTest, KeyTextComesFromTheRecordedState) {
    storeLibrary({snippet("sig", "Best regards")});
    start();
    // Shift was down when these were recorded; the fake layout only knows that from the key.
    type(";S");
    type("IG");
    EXPECT_FALSE(timeline.entries().empty());
}

TEST_F(KeyHandlingTest, DeleteKeysAndSilentKeysShapeTheBuffer) {
    storeLibrary({snippet("sig", "Best regards")});
    start();

    type(";sg");
    press(FakeKeyLayout::forwardDeleteKey());  // removes the last character, like Delete
    type("ig");
    EXPECT_FALSE(timeline.entries().empty());
    timeline.clear();

    type(";si");
    press(FakeKeyLayout::silentKey());  // a modifier or dead key adds nothing
    replacer->waitUntilIdle();
    EXPECT_TRUE(logs.contains(platform::LogLevel::Debug, "Dead key or modifier key pressed (no Unicode output)"));
    type("g");
    EXPECT_FALSE(timeline.entries().empty());
}

TEST_F(KeyHandlingTest, StaleTriggerInsideTheBufferErasesNothing) {
    start();
    // Typed before the snippet existed; the trigger is inside the buffer, not at its end.
    type(";sigx");
    storeLibrary({snippet("sig", "Best regards")});
    replacer->refreshSnippetCache();
    type("y");
    EXPECT_TRUE(timeline.entries().empty());

    // Delete brings the trigger back to the end, but a Delete never matches; the next key
    // puts it inside again. Erasing four characters now would eat the wrong ones.
    type(";sih");
    timeline.clear();
    press(FakeKeyLayout::deleteKey());
    type("g");
    EXPECT_FALSE(timeline.entries().empty()) << "the g completes ;sig";
    timeline.clear();

    replacer->setTriggerCache(std::make_shared<const sablix::TriggerCache>());
    type(";sigx");
    replacer->refreshSnippetCache();
    press(FakeKeyLayout::deleteKey());
    replacer->waitUntilIdle();
    type("z");
    EXPECT_TRUE(timeline.entries().empty());
}

TEST_F(KeyHandlingTest, FirstExpansionIsRecordedOnce) {
    storeLibrary({snippet("sig", "Best regards")});
    start();

    type(";sig");
    EXPECT_EQ(analytics.names(), (std::vector<std::string>{"snippet_expand", "first_snippet_expand"}));
    EXPECT_TRUE(defaults.boolean(sablix::TextReplacer::kHasFiredFirstExpansionKey));
    for (const auto& [name, properties] : analytics.events()) EXPECT_TRUE(properties.empty()) << name;

    type(";sig");
    EXPECT_EQ(analytics.names(),
              (std::vector<std::string>{"snippet_expand", "first_snippet_expand", "snippet_expand"}));
}

TEST_F(KeyHandlingTest, FirstExpansionIsRecordedOnceEvenWhenTheStoreRefusesIt) {
    storeLibrary({snippet("sig", "Best regards")});
    defaults.setFailWrites(true);
    start();

    type(";sig");
    type(";sig");
    EXPECT_EQ(analytics.names(),
              (std::vector<std::string>{"snippet_expand", "first_snippet_expand", "snippet_expand"}));
}

TEST_F(KeyHandlingTest, TeamTriggersJoinAtTheNextRefresh) {
    const auto teamA = platform::Uuid::generate();
    const auto teamB = platform::Uuid::generate();
    storeLibrary({snippet("sig", "personal sig")});
    teamSnippets = {teamSnippet("sig", "team sig", teamA), teamSnippet("hi", "team A hi", teamA),
                    teamSnippet("yo", "team B yo", teamB)};
    start();
    EXPECT_EQ(teamLoads, 0) << "no team is active yet";

    replacer->setActiveTeamId(teamA);
    EXPECT_EQ(replacer->triggerCache()->size(), 1u) << "setting the team alone changes nothing";
    replacer->refreshSnippetCache();
    EXPECT_TRUE(logs.contains(platform::LogLevel::Debug, "Snippet cache refreshed with 3 snippets (2 team)"));

    type(";sig");
    type(";hi");
    auto entries = timeline.entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "paste personal sig"), entries.end());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "paste team A hi"), entries.end());
    EXPECT_EQ(std::find(entries.begin(), entries.end(), "paste team sig"), entries.end());

    // Switching teams keeps the old triggers until the next rebuild.
    replacer->setActiveTeamId(teamB);
    timeline.clear();
    type(";yo");
    EXPECT_TRUE(timeline.entries().empty());
    replacer->refreshSnippetCache();
    type(";yo");
    entries = timeline.entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "paste team B yo"), entries.end());
}

TEST_F(KeyHandlingTest, FailingTeamDatabaseLeavesPersonalTriggers) {
    storeLibrary({snippet("sig", "personal sig")});
    teamLoadError = "Database is not open";
    start();
    replacer->setActiveTeamId(platform::Uuid::generate());
    replacer->refreshSnippetCache();
    EXPECT_TRUE(
        logs.contains(platform::LogLevel::Error, "Error loading team snippets for TextReplacer: Database is not open"));
    EXPECT_EQ(replacer->triggerCache()->size(), 1u);
}
