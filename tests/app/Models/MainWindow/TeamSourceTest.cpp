#include <gtest/gtest.h>

#include "Controllers/SnippetController.h"
#include "Models/AppNotifier.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Models/Sync/SyncService.h"
#include "app/Models/Sync/TeamDbFixture.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakePathMonitor.h"
#include "support/LogCapture.h"

using platform::Uuid;
using sablix::MiddlePanelModel;
using sablix::PendingOperation;
using sablix::SnippetItem;
using sablix::SnippetValue;

namespace {

const Uuid kTeam = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");
const Uuid kRowan = *Uuid::fromString("5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D");

std::vector<std::string> titles(const std::vector<SnippetItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item.snippetTitle);
    return out;
}

// The list model over a real team database and sync service, offline, so that queued changes
// stay in the queue where the test reads them.
class TeamSourceTest : public sablix::teamdb::TeamDbTest {
protected:
    void SetUp() override {
        personalBytes_ = defaults_.object(sablix::SnippetController::kSavedSnippetItemsKey);
        ASSERT_TRUE(personalBytes_);
        platform::NetworkPath offline;
        testsupport::FakePathMonitor::report(*pathState_, offline);
        cache_.open();
    }

    SnippetItem teamSnippet(const std::string& title, std::vector<std::string> tags) {
        SnippetItem item(Uuid::generate(), title, "content of " + title, std::move(tags), kTeam, Uuid::generate(),
                         sablix::SnippetVisibility::team, 2, clock_.now(), clock_.now(), std::nullopt);
        cache_.saveSnippet(item, sablix::SyncMetadata::synced(2, clock_));
        return item;
    }
    std::vector<sablix::SyncOperation> queued() { return cache_.getPendingSyncOperations(); }
    const SnippetItem* cached(const Uuid& id) {
        static std::vector<SnippetItem> rows;
        rows = cache_.getSnippets(kTeam, true);
        for (const auto& row : rows)
            if (row.id == id) return &row;
        return nullptr;
    }
    void expectPersonalLibraryUntouched() {
        EXPECT_EQ(defaults_.object(sablix::SnippetController::kSavedSnippetItemsKey), personalBytes_);
    }

    testsupport::LogCapture logs_;
    platform::MemoryDefaults defaults_;
    platform::MemoryDefaults settingsStore_;
    sablix::SnippetSettings settings_{settingsStore_};
    sablix::AppEnvironment environment_{sablix::AppEnvironment::Kind::development, &defaults_};
    sablix::APIClient client_{environment_};
    sablix::TeamSnippetCache cache_{databasePath()};
    std::unique_ptr<testsupport::FakePathMonitor> monitor_ = std::make_unique<testsupport::FakePathMonitor>();
    std::shared_ptr<testsupport::FakePathMonitor::State> pathState_ = monitor_->state();
    sablix::NetworkMonitor network_{std::move(monitor_), desktop::QtMainQueue::shared()};
    platform::FakeClock clock_{*platform::Date::fromIso8601("2026-03-01T09:00:00Z")};
    sablix::SyncService sync_{{.cache = cache_,
                               .client = client_,
                               .accessToken = []() -> QCoro::Task<std::string> { co_return std::string("token"); },
                               .network = network_,
                               .defaults = defaults_,
                               .clock = clock_,
                               .refreshSnippetCache = nullptr}};
    testsupport::FakeAnalyticsTracking analytics_;
    sablix::AppNotifier notifier_;
    int refreshes_ = 0;
    SnippetItem personal_{Uuid::generate(), "mine", "my own text", {"work"}};
    const bool stored_ = defaults_.set(MiddlePanelModel::kHasSeededStarterSnippetsKey, true) &&
                         sablix::SnippetController(defaults_).saveItems({personal_});
    std::optional<platform::DefaultsValue> personalBytes_;
    MiddlePanelModel model_{defaults_,
                            settings_,
                            [this] { ++refreshes_; },
                            analytics_,
                            notifier_,
                            sync_,
                            [] { return std::optional(kRowan); }};
};

}  // namespace

TEST_F(TeamSourceTest, AnEditReplacesItsEntryAndASaveIsStoredWithItsQueuedChangeOrNotAtAll) {
    const SnippetItem a = teamSnippet("a", {"work"});
    const SnippetItem b = teamSnippet("b", {});
    model_.filterItems("zzz", "work");
    model_.switchSource(kTeam);
    ASSERT_TRUE(model_.isTeamMode());
    EXPECT_EQ(titles(model_.filteredItems()), (std::vector<std::string>{"a", "b"}));

    // The editor hands back b with new content: the entry is replaced where it stood.
    SnippetItem edited = b;
    edited.snippet = "new content";
    edited.teamId.reset();
    edited.ownerId.reset();
    ASSERT_EQ(model_.addItem(SnippetValue(edited)).toStdString(), "");
    ASSERT_EQ(titles(model_.allItems()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(model_.allItems()[1].snippet, "new content");
    EXPECT_EQ(model_.allItems()[1].teamId, kTeam);
    EXPECT_EQ(model_.allItems()[1].ownerId, kRowan);
    ASSERT_TRUE(cached(b.id));
    EXPECT_EQ(cached(b.id)->snippet, "new content");
    auto operations = queued();
    ASSERT_EQ(operations.size(), 1u);
    EXPECT_EQ(operations[0].entityId, b.id);
    EXPECT_EQ(operations[0].operation, PendingOperation::create);
    EXPECT_EQ(operations[0].teamId, kTeam);
    EXPECT_EQ(refreshes_, 1);
    ASSERT_EQ(analytics_.events().size(), 1u);
    EXPECT_EQ(analytics_.events()[0].first, "snippet_create");
    EXPECT_EQ(analytics_.events()[0].second["scope"], "team");

    // A snippet whose change cannot be queued is not stored either: no row without its push.
    SnippetItem unqueueable(Uuid::generate(), "bad", "\xff\xfe not text", {});
    EXPECT_EQ(model_.addItem(SnippetValue(unqueueable)), MiddlePanelModel::kTeamSaveFailedMessage);
    EXPECT_EQ(cached(unqueueable.id), nullptr);
    EXPECT_EQ(titles(model_.allItems()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_EQ(refreshes_, 1);
    expectPersonalLibraryUntouched();

    model_.switchSource(std::nullopt);
    EXPECT_EQ(titles(model_.allItems()), (std::vector<std::string>{"mine"}));
}

TEST_F(TeamSourceTest, TagRemovalAndDeletionWriteAndQueueTheTeamNeverThePersonalLibrary) {
    const SnippetItem a = teamSnippet("a", {"Work", "mail"});
    const SnippetItem b = teamSnippet("b", {"work"});
    const SnippetItem c = teamSnippet("c", {"home"});
    model_.switchSource(kTeam);

    // Every changed snippet is saved and queued, so the next pull does not bring the tag back.
    ASSERT_EQ(model_.deleteTag("WORK").toStdString(), "");
    EXPECT_EQ(model_.tagCount("work"), 0);
    auto operations = queued();
    ASSERT_EQ(operations.size(), 2u);
    EXPECT_EQ(operations[0].entityId, a.id);
    EXPECT_EQ(operations[1].entityId, b.id);
    model_.reloadCurrentSource();
    EXPECT_EQ(model_.tagCount("work"), 0);
    EXPECT_EQ(model_.tagCount("mail"), 1);
    expectPersonalLibraryUntouched();

    // A listed snippet that names no team is still deleted from the shown team, by its id.
    SnippetItem orphan = c;
    orphan.teamId.reset();
    ASSERT_EQ(model_.deleteItem(SnippetValue(orphan)).toStdString(), "");
    EXPECT_EQ(titles(model_.allItems()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(cached(c.id), nullptr);
    operations = queued();
    ASSERT_EQ(operations.size(), 3u);
    EXPECT_EQ(operations[2].entityId, c.id);
    EXPECT_EQ(operations[2].operation, PendingOperation::remove);
    EXPECT_EQ(operations[2].teamId, kTeam);
    EXPECT_EQ(analytics_.names().back(), "snippet_delete");
    expectPersonalLibraryUntouched();
}
