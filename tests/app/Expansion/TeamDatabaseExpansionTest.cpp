// The engine over a real team database file, wired as the application wires it.
#include <QTemporaryDir>
#include <fstream>

#include "EngineHarness.h"
#include "Sync/TeamSnippetCache.h"

using namespace enginetest;
using platform::Uuid;
using sablix::SnippetItem;

namespace {

class TeamDatabaseExpansionTest : public EngineHarness {
protected:
    void startOver(sablix::TeamSnippetCache& database) {
        auto wiring = collaborators();
        wiring.loadTeamSnippets = sablix::TextReplacer::teamSnippetLoader(database);
        start(std::move(wiring));
    }
    void save(const std::string& title, const std::string& content, const Uuid& teamId, bool deleted = false) {
        auto item = snippet(title, content);
        item.teamId = teamId;
        item.visibility = sablix::SnippetVisibility::team;
        if (deleted) item.deletedAt = platform::Date{800000000.0};
        cache.saveSnippet(item, sablix::SyncMetadata::newLocal(clock));
    }

    QTemporaryDir dir;
    std::filesystem::path folder{dir.path().toStdString()};
    sablix::TeamSnippetCache cache{folder / "Sablix" / "team_snippets.db"};
};

}  // namespace

TEST_F(TeamDatabaseExpansionTest, ActiveTeamsLiveSnippetsExpandAfterPersonalOnes) {
    const auto team = Uuid::generate(), otherTeam = Uuid::generate();
    storeLibrary({snippet("sig", "personal sig")});
    cache.open();
    save("sig", "team sig", team);
    save("standup", "Yesterday / Today / Blockers", team);
    save("gone", "deleted text", team, true);
    save("other", "another team's text", otherTeam);
    startOver(cache);

    replacer->setActiveTeamId(team);
    replacer->refreshSnippetCache();
    for (const char* trigger : {";sig", ";standup", ";gone", ";other"}) type(trigger);
    EXPECT_TRUE(pasted("personal sig"));
    EXPECT_TRUE(pasted("Yesterday / Today / Blockers"));
    for (const char* content : {"team sig", "deleted text", "another team's text"})
        EXPECT_FALSE(pasted(content)) << content;

    replacer->setActiveTeamId(otherTeam);
    replacer->refreshSnippetCache();
    timeline.clear();
    type(";standup");
    type(";other");
    EXPECT_FALSE(pasted("Yesterday / Today / Blockers"));
    EXPECT_TRUE(pasted("another team's text"));
}

TEST_F(TeamDatabaseExpansionTest, FailingDatabaseLeavesPersonalTriggers) {
    storeLibrary({snippet("sig", "personal sig")});
    std::ofstream(folder / "file") << "a regular file where the folder should be";
    sablix::TeamSnippetCache unopenable(folder / "file" / "team_snippets.db");
    startOver(unopenable);
    replacer->setActiveTeamId(Uuid::generate());
    replacer->refreshSnippetCache();
    const auto messages = logs.messages("TextReplacer");
    EXPECT_TRUE(std::ranges::any_of(messages, [](const std::string& m) {
        return m.rfind("Error loading team snippets for TextReplacer: ", 0) == 0;
    }));
    type(";sig");
    EXPECT_TRUE(pasted("personal sig"));
}
