#include <gtest/gtest.h>

#include "Snippets/SnippetController.h"
#include "Shell/AppNotifier.h"
#include "MainWindow/MiddlePanelModel.h"
#include "Snippets/SnippetSettings.h"
#include "app/Sync/TeamDbFixture.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/LogCapture.h"

using platform::Uuid;
using sablix::MiddlePanelModel;
using sablix::PendingOperation;
using sablix::SnippetItem;
using sablix::SnippetValue;

namespace {

const Uuid kTeam = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");
const Uuid kRowan = *Uuid::fromString("5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D");
using Titles = std::vector<std::string>;
using Changes = std::vector<std::pair<Uuid, PendingOperation>>;

Titles titles(const std::vector<SnippetItem>& items) {
    Titles out;
    for (const auto& item : items) out.push_back(item.snippetTitle);
    return out;
}

// The list model over a real team database and sync service, offline, so that queued changes
// stay in the queue where the test reads them.
class TeamSourceTest : public sablix::teamdb::SyncServiceFixture {
protected:
    void SetUp() override {
        personalBytes_ = defaults_.object(sablix::SnippetController::kSavedSnippetItemsKey);
        ASSERT_TRUE(personalBytes_);
        setConnected(false);
        cache_.open();
    }

    SnippetItem teamSnippet(const std::string& title, std::vector<std::string> tags) {
        SnippetItem item(Uuid::generate(), title, "content of " + title, std::move(tags), kTeam, Uuid::generate(),
                         sablix::SnippetVisibility::team, 2, clock_.now(), clock_.now(), std::nullopt);
        cache_.saveSnippet(item, sablix::SyncMetadata::synced(2, clock_));
        return item;
    }
    // The queued changes, each of which must name the shown team.
    Changes queued() {
        Changes out;
        for (const auto& op : cache_.getPendingSyncOperations()) {
            EXPECT_EQ(op.teamId, kTeam);
            out.emplace_back(op.entityId, op.operation);
        }
        return out;
    }
    std::optional<SnippetItem> cached(const Uuid& id) {
        for (const auto& row : cache_.getSnippets(kTeam, true))
            if (row.id == id) return row;
        return std::nullopt;
    }
    void expectPersonalLibraryUntouched() {
        EXPECT_EQ(defaults_.object(sablix::SnippetController::kSavedSnippetItemsKey), personalBytes_);
    }

    testsupport::LogCapture logs_;
    platform::MemoryDefaults settingsStore_;
    sablix::SnippetSettings settings_{settingsStore_};
    testsupport::FakeAnalyticsTracking analytics_;
    sablix::AppNotifier notifier_;
    int modelRefreshes_ = 0;
    const bool stored_ =
        defaults_.set(MiddlePanelModel::kHasSeededStarterSnippetsKey, true) &&
        sablix::SnippetController(defaults_, clock_).saveItems({{Uuid::generate(), "mine", "my text", {}, clock_}});
    std::optional<platform::DefaultsValue> personalBytes_;
    std::function<void()> refresh_ = [this] { ++modelRefreshes_; };
    MiddlePanelModel model_{defaults_,  settings_, clock_,   refresh_,
                            analytics_, notifier_, service_, [] { return kRowan; }};
};

}  // namespace

TEST_F(TeamSourceTest, AnEditReplacesItsEntryAndASaveIsStoredWithItsQueuedChangeOrNotAtAll) {
    teamSnippet("a", {"work"});
    const SnippetItem b = teamSnippet("b", {});
    model_.filterItems("zzz", "work");
    model_.switchSource(kTeam);
    ASSERT_TRUE(model_.isTeamMode());
    EXPECT_EQ(titles(model_.filteredItems()), (Titles{"a", "b"}));

    // The editor hands back b with new content: the entry is replaced where it stood.
    SnippetItem edited = b;
    edited.snippet = "new content";
    edited.teamId.reset();
    edited.ownerId.reset();
    ASSERT_EQ(model_.addItem(SnippetValue(edited)).toStdString(), "");
    ASSERT_EQ(titles(model_.allItems()), (Titles{"a", "b"}));
    EXPECT_EQ(model_.allItems()[1].snippet, "new content");
    EXPECT_EQ(model_.allItems()[1].teamId, kTeam);
    EXPECT_EQ(model_.allItems()[1].ownerId, kRowan);
    ASSERT_TRUE(cached(b.id));
    EXPECT_EQ(cached(b.id)->snippet, "new content");
    EXPECT_EQ(queued(), (Changes{{b.id, PendingOperation::create}}));
    EXPECT_EQ(modelRefreshes_, 1);
    EXPECT_EQ(analytics_.events(), (decltype(analytics_.events()){{"snippet_create", {{"scope", "team"}}}}));

    // A snippet whose change cannot be queued is not stored either: no row without its push.
    SnippetItem unqueueable(Uuid::generate(), "bad", "\xff\xfe not text", {}, clock_);
    EXPECT_EQ(model_.addItem(SnippetValue(unqueueable)), MiddlePanelModel::kTeamSaveFailedMessage);
    EXPECT_FALSE(cached(unqueueable.id));
    EXPECT_EQ(titles(model_.allItems()), (Titles{"a", "b"}));
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_EQ(modelRefreshes_, 1);
    expectPersonalLibraryUntouched();

    model_.switchSource(std::nullopt);
    EXPECT_EQ(titles(model_.allItems()), (Titles{"mine"}));
}

TEST_F(TeamSourceTest, TagRemovalAndDeletionWriteAndQueueTheTeamNeverThePersonalLibrary) {
    const SnippetItem a = teamSnippet("a", {"Work", "mail"});
    const SnippetItem b = teamSnippet("b", {"work"});
    const SnippetItem c = teamSnippet("c", {"home"});
    model_.switchSource(kTeam);

    // Every changed snippet is saved and queued, so the next pull does not bring the tag back.
    ASSERT_EQ(model_.deleteTag("WORK").toStdString(), "");
    EXPECT_EQ(model_.tagCount("work"), 0);
    EXPECT_EQ(queued(), (Changes{{a.id, PendingOperation::create}, {b.id, PendingOperation::create}}));
    model_.reloadCurrentSource();
    EXPECT_EQ(model_.tagCount("work"), 0);
    EXPECT_EQ(model_.tagCount("mail"), 1);
    expectPersonalLibraryUntouched();

    // A listed snippet that names no team is still deleted from the shown team, by its id.
    SnippetItem orphan = c;
    orphan.teamId.reset();
    ASSERT_EQ(model_.deleteItem(SnippetValue(orphan)).toStdString(), "");
    EXPECT_EQ(titles(model_.allItems()), (Titles{"a", "b"}));
    EXPECT_FALSE(cached(c.id));
    EXPECT_EQ(queued(), (Changes{{a.id, PendingOperation::create},
                                 {b.id, PendingOperation::create},
                                 {c.id, PendingOperation::remove}}));
    EXPECT_EQ(analytics_.names().back(), "snippet_delete");
    expectPersonalLibraryUntouched();
}
