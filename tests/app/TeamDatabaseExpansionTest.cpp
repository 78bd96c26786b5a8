// The engine over a real team database file, wired as the application wires it.
#include <QTemporaryDir>
#include <algorithm>

#include "EngineHarness.h"
#include "Models/Sync/TeamSnippetCache.h"

namespace enginetest {
namespace {

class TeamDatabaseExpansionTest : public EngineHarness {
protected:
    bool pasted(const std::string& content) const {
        const auto entries = timeline.entries();
        return std::find(entries.begin(), entries.end(), "paste " + content) != entries.end();
    }

    QTemporaryDir dir;
    sablix::TeamSnippetCache cache{std::filesystem::path(dir.path().toStdString()) / "Sablix" / "team_snippets.db"};
};

TEST_F(TeamDatabaseExpansionTest, ActiveTeamsLiveSnippetsExpandFromTheDatabase) {
    const auto team = platform::Uuid::generate();
    const auto otherTeam = platform::Uuid::generate();
    cache.open();
    cache.saveSnippet(teamSnippet("standup", "Yesterday / Today / Blockers", team), sablix::SyncMetadata::newLocal());
    cache.saveSnippet(teamSnippet("other", "another team's text", otherTeam), sablix::SyncMetadata::newLocal());
    auto removed = teamSnippet("gone", "deleted text", team);
    removed.deletedAt = platform::Date{800000000.0};
    cache.saveSnippet(removed, sablix::SyncMetadata::newLocal());

    auto wiring = collaborators();
    wiring.loadTeamSnippets = sablix::TextReplacer::teamSnippetLoader(cache);
    replacer = std::make_unique<sablix::TextReplacer>(wiring);
    const size_t index = taps.created();
    replacer->registerTap();
    tap = taps.waitForRunningTap(index);
    ASSERT_TRUE(tap);

    replacer->setActiveTeamId(team);
    replacer->refreshSnippetCache();
    type(";standup");
    type(";gone");
    type(";other");
    EXPECT_TRUE(pasted("Yesterday / Today / Blockers"));
    EXPECT_FALSE(pasted("deleted text"));
    EXPECT_FALSE(pasted("another team's text"));
}

}  // namespace
}  // namespace enginetest
