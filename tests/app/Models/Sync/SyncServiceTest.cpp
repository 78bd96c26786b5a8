#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTest>

#include "Models/Sync/SyncEngine.h"
#include "Models/Sync/SyncService.h"
#include "TeamDbFixture.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/ChildProcess.h"
#include "support/FakePathMonitor.h"
#include "support/LogCapture.h"

using nlohmann::json;
using platform::Uuid;
using sablix::PendingOperation;
using sablix::SnippetItem;
using sablix::SyncService;
using State = sablix::SyncService::SyncState;

namespace {

const Uuid kTeam = *Uuid::fromString("7D1A4C8E-2B3F-4E5A-9C6D-0E1F2A3B4C5D");
const Uuid kOwner = *Uuid::fromString("5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D");
constexpr const char* kServerNow = "2026-03-01T10:00:00Z";

json serverSnippet(const std::string& id, const std::string& title, int version = 1,
                   json tags = json::array({"Work"})) {
    return {{"id", id},
            {"teamId", kTeam.toString()},
            {"ownerId", kOwner.toString()},
            {"ownerName", "Rowan"},
            {"snippetTitle", title},
            {"snippetContent", "content of " + title},
            {"tags", std::move(tags)},
            {"visibility", "team"},
            {"version", version},
            {"createdAt", "2026-02-01T08:00:00Z"},
            {"updatedAt", "2026-02-02T08:00:00Z"}};
}

// The service over a real database file and the test backend, with a network monitor the test
// switches and a clock that stands still.
class SyncServiceTest : public sablix::teamdb::TeamDbTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        backend_.reset(json{{"sync", {{"now", kServerNow}}}});
        defaults_.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
    }
    void setConnected(bool connected) {
        platform::NetworkPath path;
        path.satisfied = connected;
        testsupport::FakePathMonitor::report(*pathState_, path);
        QCoreApplication::processEvents();
    }

    SnippetItem teamSnippet(const std::string& title, int version = 1, std::optional<Uuid> id = std::nullopt) {
        return SnippetItem(id.value_or(Uuid::generate()), title, "content of " + title, {"Mixed"}, kTeam, kOwner,
                           sablix::SnippetVisibility::team, version, clock_.now(), clock_.now(), std::nullopt);
    }
    std::vector<sablix::SyncOperation> queued() { return cache_.getPendingSyncOperations(); }
    std::vector<testservers::LoggedRequest> requests(const std::string& path) const {
        std::vector<testservers::LoggedRequest> out;
        for (const auto& entry : backend_.log())
            if (entry.path == path) out.push_back(entry);
        return out;
    }
    void cycle() { QCoro::waitFor(service_.performSync(kTeam)); }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    sablix::AppEnvironment environment_{sablix::AppEnvironment::Kind::development, &defaults_};
    sablix::APIClient client_{environment_};
    sablix::TeamSnippetCache cache_{databasePath()};
    std::unique_ptr<testsupport::FakePathMonitor> monitor_ = std::make_unique<testsupport::FakePathMonitor>();
    std::shared_ptr<testsupport::FakePathMonitor::State> pathState_ = monitor_->state();
    sablix::NetworkMonitor network_{std::move(monitor_), desktop::QtMainQueue::shared()};
    platform::FakeClock clock_{*platform::Date::fromIso8601("2026-03-01T09:00:00Z")};
    int refreshes_ = 0;
    std::string tokenFailure_;
    SyncService service_{{.cache = cache_,
                          .client = client_,
                          .accessToken = [this]() -> QCoro::Task<std::string> {
                              if (!tokenFailure_.empty()) throw std::runtime_error(tokenFailure_);
                              co_return std::string("token-rowan");
                          },
                          .network = network_,
                          .defaults = defaults_,
                          .clock = clock_,
                          .refreshSnippetCache = [this] { ++refreshes_; }}};
    testsupport::LogCapture logs_;
};

TEST_F(SyncServiceTest, ABurstOfChangesIsPushedOnceOldestFirstAndOnlyTheConflictStaysQueued) {
    // The server knows C at version 1; the local edit claims version 5, so its update conflicts.
    const Uuid c = Uuid::generate();
    backend_.reset(
        json{{"sync", {{"now", kServerNow}, {"snippets", {{c.toString(), serverSnippet(c.toString(), "c")}}}}}});
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("a"), PendingOperation::create));
    QTest::qWait(200);
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("b"), PendingOperation::create));
    QTest::qWait(200);
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("c", 5, c), PendingOperation::update));
    EXPECT_TRUE(backend_.log().empty()) << "pushed before the burst ended";
    EXPECT_EQ(service_.pendingOperationCount(), 3);

    ASSERT_TRUE(QTest::qWaitFor([&] { return service_.pullVersion() == 1; }, 5000));
    QTest::qWait(700);  // no second cycle follows
    const auto pushes = requests("/api/sync/push");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0].header("Authorization"), "Bearer token-rowan");
    const json body = json::parse(pushes[0].body);
    EXPECT_EQ(body["teamId"], kTeam.toString());
    ASSERT_EQ(body["operations"].size(), 3u);
    std::vector<std::string> titles;
    for (const auto& op : body["operations"]) titles.push_back(op["payload"]["snippetTitle"]);
    EXPECT_EQ(titles, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(body["operations"][0]["payload"].contains("expectedVersion"));
    EXPECT_EQ(body["operations"][2]["payload"]["expectedVersion"], 4);

    const auto left = queued();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].entityId, c);
    EXPECT_EQ(service_.pendingOperationCount(), 1);
    EXPECT_EQ(service_.syncState().kind, State::Kind::synced);
    EXPECT_TRUE(logs_.has("SyncService", "Pushed 3 operations, 2 succeeded"));
    // The pull brought the server's C back over the local edit.
    EXPECT_EQ(refreshes_, 1);
}

TEST_F(SyncServiceTest, APullOfAThousandSnippetsIsStoredAndItsTimestampSentNextTime) {
    json snippets = json::object();
    for (int i = 0; i < 1000; ++i) {
        const std::string id = Uuid::generate().toString();
        snippets[id] = serverSnippet(id, "s" + std::to_string(i), 2, json::array({"Work", "MAIL"}));
    }
    // Dropped: an owner that is not a UUID. Deleted on the server: a snippet held locally.
    const std::string stray = Uuid::generate().toString();
    snippets[stray] = serverSnippet(stray, "stray");
    snippets[stray]["ownerId"] = "";
    const SnippetItem gone = teamSnippet("gone");
    cache_.open();
    cache_.saveSnippet(gone, sablix::SyncMetadata::synced(1));
    backend_.reset(
        json{{"sync",
              {{"now", kServerNow},
               {"snippets", snippets},
               {"deleted", {{gone.id.toString(), {{"teamId", kTeam.toString()}, {"deletedAt", kServerNow}}}}}}}});

    service_.startSync(kTeam);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service_.pullVersion() == 1; }, 10000));
    service_.stopSync();
    const auto stored = service_.getTeamSnippets(kTeam);
    ASSERT_EQ(stored.size(), 1000u);
    for (const auto& snippet : stored) ASSERT_EQ(snippet.tags, (std::vector<std::string>{"work", "mail"}));
    EXPECT_EQ(shell("SELECT COUNT(*) FROM sync_metadata WHERE sync_status = 'synced' AND server_version = 2"),
              "1000\n");
    EXPECT_TRUE(logs_.has("SyncService", "Pulled 1000 snippets, 1 deletions"));
    EXPECT_TRUE(logs_.has("SyncService", "No pending operations to push"));
    EXPECT_EQ(defaults_.object("sync_timestamp_" + kTeam.toString()),
              platform::DefaultsValue(*platform::Date::fromIso8601(kServerNow)));

    // The next pull asks from the stored time: the snippets are older, the deletion is not.
    cycle();
    EXPECT_EQ(requests("/api/sync/pull").size(), 2u);
    EXPECT_TRUE(logs_.has("SyncService", "Pulled 0 snippets, 1 deletions"));
    EXPECT_EQ(service_.pullVersion(), 2);
    EXPECT_EQ(refreshes_, 2);
}

TEST_F(SyncServiceTest, FailedExchangesEndInErrorOrOfflineAndLoseNothing) {
    // An update of a snippet the backend does not know: answered "conflict", it stays queued.
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("kept", 3), PendingOperation::update));
    service_.stopSync();
    const auto before = queued();
    const std::string key = "sync_timestamp_" + kTeam.toString();
    const std::string since = "2026-01-01T00:00:00Z";

    struct Case {
        std::string what, route;
        int status;
        std::string body, log;
    };
    const std::vector<Case> cases = {
        {"server error", "/api/sync/push", 500, "", "Push failed: 500"},
        {"expired token", "/api/sync/push", 401, R"({"error":"unauthorized"})", "Push failed: 401"},
        {"not JSON", "/api/sync/push", 200, "<html>", "Push error: the push answer is not JSON"},
        {"no timestamp", "/api/sync/push", 200, R"({"results":[]})", ""},
        {"no hasMore", "/api/sync/pull", 200,
         R"({"snippets":[],"deletedIds":[],"serverTimestamp":"2026-03-01T10:00:00Z"})", ""},
        {"version as text", "/api/sync/pull", 200,
         json{{"snippets", {[] {
                   auto s = serverSnippet(Uuid::generate().toString(), "v");
                   s["version"] = "2";
                   return s;
               }()}},
              {"deletedIds", json::array()},
              {"serverTimestamp", kServerNow},
              {"hasMore", false}}
             .dump(),
         ""},
        {"created answer", "/api/sync/pull", 201, "{}", "Pull failed: 201"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        defaults_.set(key, *platform::Date::fromIso8601(since));
        backend_.fail(c.route, c.status, c.body);
        cycle();
        EXPECT_EQ(service_.syncState(), State::error("Sync failed"));
        EXPECT_EQ(queued(), before);
        EXPECT_EQ(service_.pullVersion(), 0);
        if (!c.log.empty()) {
            EXPECT_TRUE(logs_.has("SyncService", c.log));
        }
        // A failed pull leaves "since" where it was (a failed push does not stop the pull).
        if (c.route == "/api/sync/pull") {
            EXPECT_EQ(defaults_.object(key), platform::DefaultsValue(*platform::Date::fromIso8601(since)));
        }
    }
    // A pulled row the database refuses: what came before it is kept, the timestamp is not advanced.
    shell(
        "CREATE TRIGGER refuse BEFORE INSERT ON team_snippets WHEN NEW.snippet_title = 'refused' "
        "BEGIN SELECT RAISE(ABORT, 'refused row'); END;");
    const std::string first = "10000000-0000-4000-8000-000000000001", bad = "20000000-0000-4000-8000-000000000002",
                      third = "30000000-0000-4000-8000-000000000003";
    backend_.reset(json{{"sync",
                         {{"now", kServerNow},
                          {"snippets",
                           {{first, serverSnippet(first, "first")},
                            {bad, serverSnippet(bad, "refused")},
                            {third, serverSnippet(third, "third")}}}}}});
    defaults_.set(key, *platform::Date::fromIso8601(since));
    cycle();
    EXPECT_EQ(service_.syncState(), State::error("Sync failed"));
    EXPECT_EQ(shell("SELECT snippet_title FROM team_snippets WHERE team_id = '" + kTeam.toString() +
                    "' ORDER BY snippet_title"),
              "first\nkept\n");
    EXPECT_TRUE(logs_.has("SyncService", "Pull error: Failed to execute statement: refused row"));
    EXPECT_EQ(defaults_.object(key), platform::DefaultsValue(*platform::Date::fromIso8601(since)));

    // No sign-in token, no network, no backend.
    tokenFailure_ = "Not signed in";
    cycle();
    EXPECT_TRUE(logs_.has("SyncService", "Push error: Not signed in"));
    EXPECT_TRUE(logs_.has("SyncService", "Pull error: Not signed in"));
    tokenFailure_.clear();
    const size_t logged = backend_.log().size();
    setConnected(false);
    cycle();
    EXPECT_EQ(service_.syncState().kind, State::Kind::offline);
    EXPECT_EQ(backend_.log().size(), logged);
    setConnected(true);
    backend_.stop();
    cycle();
    EXPECT_EQ(service_.syncState(), State::error("Sync failed"));
    EXPECT_EQ(queued(), before);
}

TEST_F(SyncServiceTest, OverlappingCyclesPushEachOperationOnceAndOneBadRowCostsOnlyItself) {
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("good"), PendingOperation::create));
    service_.stopSync();
    // A row another writer left with bytes that are not UTF-8, and a snippet that cannot be coded.
    shell(
        "INSERT INTO sync_operations (id, entity_type, entity_id, operation, payload, team_id, created_at) "
        "VALUES ('" +
        Uuid::generate().toString() + "', 'snippet', '" + Uuid::generate().toString() +
        "', 'create', CAST(X'7B2274223A22FF227D' AS TEXT), '" + kTeam.toString() + "', '2026-03-01T09:00:00Z')");
    service_.queueChange(teamSnippet("bad \xff title"), PendingOperation::create);
    ASSERT_FALSE(logs_.messages("SyncService").empty());
    EXPECT_TRUE(logs_.messages("SyncService").back().starts_with("Error queuing change: "));
    EXPECT_EQ(queued().size(), 2u);
    EXPECT_EQ(service_.pendingOperationCount(), 1);

    backend_.delay("/api/sync/push", 300);
    auto first = service_.performSync(kTeam);
    service_.performSync(kTeam);
    service_.performSync(kTeam);
    QCoro::waitFor(std::move(first));

    // The cycle and its one folded rerun; the rerun finds only the unreadable row, sent as nothing.
    const auto pushes = requests("/api/sync/push");
    ASSERT_EQ(pushes.size(), 2u);
    EXPECT_EQ(json::parse(pushes[0].body)["operations"].size(), 1u);
    EXPECT_EQ(json::parse(pushes[1].body)["operations"].size(), 0u);
    EXPECT_EQ(requests("/api/sync/pull").size(), 2u);
    EXPECT_TRUE(logs_.has("SyncService", "Pushed 2 operations, 1 succeeded"));
    EXPECT_EQ(service_.syncState().kind, State::Kind::synced);
    EXPECT_EQ(queued().size(), 1u);  // only the unreadable row
}

TEST_F(SyncServiceTest, SavingAndQueueingIsAllOrNothing) {
    cache_.open();
    shell("CREATE TRIGGER refuse BEFORE INSERT ON sync_operations BEGIN SELECT RAISE(ABORT, 'queue full'); END;");
    const SnippetItem snippet = teamSnippet("lonely");
    EXPECT_FALSE(service_.saveAndQueueChange(snippet, PendingOperation::create));
    EXPECT_TRUE(service_.getTeamSnippets(kTeam).empty());
    EXPECT_EQ(service_.pendingOperationCount(), 0);

    cache_.saveSnippet(snippet, sablix::SyncMetadata::newLocal(clock_));
    EXPECT_FALSE(service_.saveAndQueueChange(snippet, PendingOperation::remove));
    EXPECT_EQ(service_.getTeamSnippets(kTeam).size(), 1u);
    EXPECT_TRUE(logs_.has("SyncService", "Error queuing change: Failed to execute statement: queue full"));
}

TEST_F(SyncServiceTest, TheEngineOnlyStopsAndAStoppedServiceRunsNoMoreCycles) {
    sablix::SyncEngine engine(service_, network_, [] { return std::optional(kTeam); });
    setConnected(false);
    setConnected(true);
    EXPECT_EQ(engine.state().kind, sablix::SyncEngine::EngineState::Kind::idle);
    EXPECT_TRUE(backend_.log().empty());

    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("late"), PendingOperation::create));
    engine.stop();
    EXPECT_EQ(engine.state().kind, sablix::SyncEngine::EngineState::Kind::stopped);
    EXPECT_TRUE(logs_.has("SyncEngine", "Sync engine stopped"));
    QTest::qWait(800);  // longer than the debounce
    EXPECT_TRUE(backend_.log().empty());
}

// Killed while the backend holds its push, the driver sends the same operations again after a
// restart; the backend applies each once and ends with every change, the queue empty.
TEST_F(SyncServiceTest, AKilledSyncResendsTheSameOperationsWhichApplyOnce) {
    const std::string driver = std::string(SABLIX_BINARY_DIR) + "/tests/drivers/sablix_sync_driver";
    backend_.reset(json{{"sync", json::object()}});
    backend_.delay("/api/sync/push", 3000);
    {
        testsupport::ChildProcess first({driver, backend_.baseURL(), databasePath().string(), kTeam.toString(), "5"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !requests("/api/sync/push").empty(); }, 10000));
        ::kill(first.pid(), SIGKILL);
        first.wait(5000);
    }
    const json held = json::parse(requests("/api/sync/push")[0].body);
    ASSERT_EQ(held["operations"].size(), 5u);
    backend_.delay("/api/sync/push", 0);

    testsupport::ChildProcess second({driver, backend_.baseURL(), databasePath().string(), kTeam.toString()});
    const int status = second.wait(20000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto pushes = requests("/api/sync/push");
    ASSERT_EQ(pushes.size(), 2u);
    std::vector<std::string> heldIds, resentIds;
    for (const auto& op : held["operations"]) heldIds.push_back(op["operationId"]);
    const json resent = json::parse(pushes[1].body);
    for (const auto& op : resent["operations"]) resentIds.push_back(op["operationId"]);
    EXPECT_EQ(resentIds, heldIds);

    QTest::qWait(3300);  // the held push is answered now, late, and must not apply again
    cache_.open();
    EXPECT_TRUE(cache_.getPendingSyncOperations().empty());
    QCoro::waitFor(service_.performSync(kTeam));
    const auto stored = cache_.getSnippets(kTeam, false);
    ASSERT_EQ(stored.size(), 5u);
    for (const auto& snippet : stored) EXPECT_EQ(snippet.version, 1) << snippet.snippetTitle;
}

}  // namespace
