#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTest>

#include "Sync/SyncEngine.h"
#include "Sync/SyncService.h"
#include "Sync/TeamDataOwner.h"
#include "TeamDbFixture.h"
#include "servers/TestBackend.h"
#include "support/LogCapture.h"
#include "support/PeakMemory.h"
#include "support/Wait.h"

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
    // clang-format off
    return {{"id", id}, {"teamId", kTeam.toString()}, {"ownerId", kOwner.toString()}, {"ownerName", "Rowan"},
            {"snippetTitle", title}, {"snippetContent", "content of " + title}, {"tags", tags},
            {"visibility", "team"}, {"version", version}, {"createdAt", "2026-02-01T08:00:00Z"},
            {"updatedAt", "2026-02-02T08:00:00Z"}};
    // clang-format on
}

// The service against the test backend.
class SyncServiceTest : public sablix::teamdb::SyncServiceFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        serve(json::object());
        defaults_.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
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
    json pushBody(size_t index) { return json::parse(requests("/api/sync/push").at(index).body); }
    void cycle() { QCoro::waitFor(service_.performSync(kTeam)); }
    void serve(json snippets, json deleted = json::object()) {
        backend_.reset(json{{"sync", {{"now", kServerNow}, {"snippets", snippets}, {"deleted", deleted}}}});
    }

    testservers::TestBackend backend_;
    testsupport::LogCapture logs_;
};

TEST_F(SyncServiceTest, ABurstOfChangesIsPushedOnceOldestFirstAndOnlyTheConflictStaysQueued) {
    // The server knows C at version 1; the local edit claims version 5, so its update conflicts.
    const Uuid c = Uuid::generate();
    serve({{c.toString(), serverSnippet(c.toString(), "c")}});
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("a"), PendingOperation::create));
    QTest::qWait(200);
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("b"), PendingOperation::create));
    QTest::qWait(200);
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("c", 5, c), PendingOperation::update));
    EXPECT_TRUE(backend_.log().empty()) << "pushed before the burst ended";
    EXPECT_EQ(service_.pendingOperationCount(), 3);

    ASSERT_TRUE(QTest::qWaitFor([&] { return service_.pullVersion() == 1; }, 5000));
    QTest::qWait(700);  // no second cycle follows
    ASSERT_EQ(requests("/api/sync/push").size(), 1u);
    EXPECT_EQ(requests("/api/sync/push")[0].header("Authorization"), "Bearer token-rowan");
    const json body = pushBody(0);
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
    EXPECT_EQ(refreshes_, 1);  // the pull brought the server's C back over the local edit
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
    cache_.saveSnippet(gone, sablix::SyncMetadata::synced(1, clock_));
    serve(snippets, {{gone.id.toString(), {{"teamId", kTeam.toString()}, {"deletedAt", kServerNow}}}});

    service_.startSync(kTeam);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service_.pullVersion() == 1; }, 10000));
    service_.stopSync();
    const auto stored = service_.getTeamSnippets(kTeam);
    ASSERT_EQ(stored.size(), 1000u);
    for (const auto& snippet : stored) ASSERT_EQ(snippet.tags, (std::vector<std::string>{"work", "mail"}));
    EXPECT_EQ(shell("SELECT COUNT(*) FROM sync_metadata WHERE sync_status = 'synced' AND server_version = 2"),
              "1000\n");
    EXPECT_TRUE(logs_.has("SyncService", "Pulled 1000 snippets, 1 deletions"));
    EXPECT_EQ(defaults_.object("sync_timestamp_" + kTeam.toString()),
              platform::DefaultsValue(*platform::Date::fromIso8601(kServerNow)));

    // The next pull asks from the stored time: the snippets are older, the deletion is not.
    cycle();
    EXPECT_EQ(requests("/api/sync/pull").size(), 2u);
    EXPECT_TRUE(logs_.has("SyncService", "Pulled 0 snippets, 1 deletions"));
    EXPECT_EQ(refreshes_, 2);
}

TEST_F(SyncServiceTest, FailedExchangesEndInErrorOrOfflineAndLoseNothing) {
    // An update of a snippet the backend does not know: answered "conflict", it stays queued.
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("kept", 3), PendingOperation::update));
    service_.stopSync();
    const auto before = queued();
    const std::string key = "sync_timestamp_" + kTeam.toString();
    const platform::DefaultsValue since(*platform::Date::fromIso8601("2026-01-01T00:00:00Z"));
    const auto expectFailedKeepingAll = [&] {
        EXPECT_EQ(service_.syncState(), State::error("Sync failed"));
        EXPECT_EQ(queued(), before);
        EXPECT_EQ(service_.pullVersion(), 0);
    };
    json version = serverSnippet(Uuid::generate().toString(), "v");
    version["version"] = "2";
    const std::string now = kServerNow, textVersion = version.dump();

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
        {"no hasMore", "/api/sync/pull", 200, R"({"snippets":[],"deletedIds":[],"serverTimestamp":")" + now + "\"}",
         ""},
        {"version as text", "/api/sync/pull", 200,
         R"({"deletedIds":[],"hasMore":false,"serverTimestamp":")" + now + R"(","snippets":[)" + textVersion + "]}",
         ""},
        {"created answer", "/api/sync/pull", 201, "{}", "Pull failed: 201"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        defaults_.set(key, since);
        backend_.fail(c.route, c.status, c.body);
        cycle();
        expectFailedKeepingAll();
        if (!c.log.empty()) {
            EXPECT_TRUE(logs_.has("SyncService", c.log));
        }
        // A failed pull leaves "since" where it was (a failed push does not stop the pull).
        if (c.route == "/api/sync/pull") {
            EXPECT_EQ(defaults_.object(key), since);
        }
    }

    // A pulled row the database refuses: what came before it is kept, the timestamp is not advanced.
    shell(
        "CREATE TRIGGER refuse BEFORE INSERT ON team_snippets WHEN NEW.snippet_title = 'refused' "
        "BEGIN SELECT RAISE(ABORT, 'refused row'); END;");
    const std::string first = "10000000-0000-4000-8000-000000000001", bad = "20000000-0000-4000-8000-000000000002",
                      third = "30000000-0000-4000-8000-000000000003";
    serve({{first, serverSnippet(first, "first")},
           {bad, serverSnippet(bad, "refused")},
           {third, serverSnippet(third, "third")}});
    defaults_.set(key, since);
    cycle();
    expectFailedKeepingAll();
    EXPECT_EQ(shell("SELECT snippet_title FROM team_snippets ORDER BY 1"), "first\nkept\n");
    EXPECT_TRUE(logs_.has("SyncService", "Pull error: Failed to execute statement: refused row"));
    EXPECT_EQ(defaults_.object(key), since);

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
    expectFailedKeepingAll();
}

// The pull has no pages, so its limit is large: an answer past it (here chunked and compressed,
// a few hundred kilobytes on the wire) still costs no more than the limit, however busy the main
// thread is while it arrives, and fails the cycle.
TEST_F(SyncServiceTest, AHugePullFailsTheCycleWithoutEverBeingHeld) {
    constexpr int64_t kPullLimit = int64_t(128) * 1024 * 1024;
    backend_.reset(json{{"sync", {{"now", kServerNow}, {"snippets", json::object()}, {"deleted", json::object()}}},
                        {"paddingBytes", {{"/api/sync/pull", int64_t(200) * 1000 * 1000}}}});
    testsupport::resetPeakResidentBytes();
    const int64_t before = testsupport::peakResidentBytes();
    auto cycle = service_.performSync(kTeam);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !requests("/api/sync/pull").empty(); }, 30'000));
    testsupport::waitUntil(
        [&] {
            const auto sent = backend_.paddedSend();
            return sent.closedByClient || sent.complete;
        },
        60'000);
    QCoro::waitFor(std::move(cycle));
    EXPECT_TRUE(logs_.has("APIClient",
                          "Answer from " + backend_.baseURL() + "/api/sync/pull stopped: larger than 134217728 bytes"));
    EXPECT_EQ(service_.pullVersion(), 0);
    EXPECT_LT(
        testsupport::peakResidentBytes() - before,
        kPullLimit + int64_t(32) * 1024 * 1024 + testsupport::keptOfWhatTheBackendSent(backend_.paddedSend().written))
        << "the backend sent " << backend_.paddedSend().written;
}

TEST_F(SyncServiceTest, OverlappingCyclesPushEachOperationOnceAndOneBadRowCostsOnlyItself) {
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("good"), PendingOperation::create));
    service_.stopSync();
    // A row another writer left with bytes that are not UTF-8, and a snippet that cannot be coded.
    shell(
        "INSERT INTO sync_operations (id, entity_type, entity_id, operation, payload, team_id, created_at, "
        "user_id) VALUES ('" +
        Uuid::generate().toString() + "', 'snippet', '" + Uuid::generate().toString() +
        "', 'create', CAST(X'7B2274223A22FF227D' AS TEXT), '" + kTeam.toString() + "', '2026-03-01T09:00:00Z', '" +
        signedInUser_->toString() + "')");
    service_.queueChange(teamSnippet("bad \xff title"), PendingOperation::create);
    EXPECT_TRUE(logs_.messages("SyncService").back().starts_with("Error queuing change: "));
    EXPECT_EQ(queued().size(), 2u);
    EXPECT_EQ(service_.pendingOperationCount(), 1);

    backend_.delay("/api/sync/push", 300);
    auto first = service_.performSync(kTeam);
    service_.performSync(kTeam);
    service_.performSync(kTeam);
    QCoro::waitFor(std::move(first));

    // The cycle and its one folded rerun; the rerun finds only the unreadable row, sent as nothing.
    ASSERT_EQ(requests("/api/sync/push").size(), 2u);
    EXPECT_EQ(pushBody(0)["operations"].size(), 1u);
    EXPECT_EQ(pushBody(1)["operations"].size(), 0u);
    EXPECT_EQ(requests("/api/sync/pull").size(), 2u);
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
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("late"), PendingOperation::create));
    engine.stop();
    EXPECT_EQ(engine.state().kind, sablix::SyncEngine::EngineState::Kind::stopped);
    QTest::qWait(800);  // longer than the debounce
    EXPECT_TRUE(backend_.log().empty());
}

// A queue written before changes recorded their user: opened, it gains the column and keeps its
// rows, which belong to nobody known and so go to no bearer; the first user to sign in since
// takes over the team data without them. The same user signing back in loses nothing; another
// user gets neither the first one's changes nor a pull answer meant for the first.
TEST_F(SyncServiceTest, EachChangeGoesOnlyWithItsOwnUsersBearerAndAnotherUsersSignInDropsThem) {
    std::filesystem::create_directories(databasePath().parent_path());
    shell(
        "CREATE TABLE sync_operations (id TEXT PRIMARY KEY, entity_type TEXT NOT NULL, entity_id TEXT NOT NULL, "
        "operation TEXT NOT NULL, payload TEXT NOT NULL, team_id TEXT, created_at TEXT NOT NULL, "
        "retry_count INTEGER DEFAULT 0, last_error TEXT); "
        "INSERT INTO sync_operations (id, entity_type, entity_id, operation, payload, team_id, created_at) "
        "VALUES ('A0000000-0000-4000-8000-000000000001', 'snippet', 'A0000000-0000-4000-8000-000000000002', "
        "'create', '" +
        teamSnippet("unowned").toJson(sablix::DateCoding::iso8601).dump() + "', '" + kTeam.toString() +
        "', '2026-03-01T08:00:00Z')");
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("rowans"), PendingOperation::create));
    service_.stopSync();
    cycle();
    ASSERT_EQ(requests("/api/sync/push").size(), 1u);
    ASSERT_EQ(pushBody(0)["operations"].size(), 1u);
    EXPECT_EQ(pushBody(0)["operations"][0]["payload"]["snippetTitle"], "rowans");
    ASSERT_EQ(queued().size(), 1u);
    EXPECT_EQ(queued()[0].userId, std::nullopt);

    sablix::TeamDataOwner owner(cache_, defaults_);
    const std::string dropped = "The previous user's team data is removed: 1 queued changes dropped";
    const Uuid rowan = *signedInUser_;
    owner.signedIn(rowan);
    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(service_.getTeamSnippets(kTeam).empty()) << "the team data of nobody known stays";
    EXPECT_EQ(logs_.messages("TeamDataOwner"), std::vector<std::string>{dropped});

    // Rowan's change waits while the push fails, across a sign-out and Rowan's next sign-in.
    serve({{Uuid::generate().toString(), serverSnippet(Uuid::generate().toString(), "rowan's team only")}});
    backend_.fail("/api/sync/push", 500, "{}", 2);
    ASSERT_TRUE(service_.saveAndQueueChange(teamSnippet("kept"), PendingOperation::create));
    service_.stopSync();
    cycle();
    owner.signedIn(rowan);
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_EQ(service_.getTeamSnippets(kTeam).size(), 2u);
    EXPECT_TRUE(defaults_.contains("sync_timestamp_" + kTeam.toString()));
    EXPECT_EQ(logs_.messages("TeamDataOwner").size(), 1u);

    // Ilse signs in while a pull sent with Rowan's bearer is out: its answer is not stored, and
    // Rowan's change goes with no one's bearer.
    backend_.delay("/api/sync/pull", 300);
    auto pulling = service_.performSync(kTeam);
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests("/api/sync/pull").size() == 2; }, 10000));
    signedInUser_ = Uuid::generate();
    owner.signedIn(*signedInUser_);
    QCoro::waitFor(std::move(pulling));
    EXPECT_EQ(logs_.messages("TeamDataOwner"), (std::vector<std::string>{dropped, dropped}));
    EXPECT_TRUE(logs_.has("SyncService", "Pull answer dropped: another user is signed in now"));
    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(service_.getTeamSnippets(kTeam).empty());
    EXPECT_FALSE(defaults_.contains("sync_timestamp_" + kTeam.toString()));
    const size_t pushes = requests("/api/sync/push").size();
    backend_.delay("/api/sync/pull", 0);
    cycle();
    EXPECT_EQ(requests("/api/sync/push").size(), pushes);
    EXPECT_EQ(service_.getTeamSnippets(kTeam).size(), 1u) << "Ilse's own pull is stored";
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
    const json held = pushBody(0);
    ASSERT_EQ(held["operations"].size(), 5u);
    backend_.delay("/api/sync/push", 0);

    testsupport::ChildProcess second({driver, backend_.baseURL(), databasePath().string(), kTeam.toString()});
    const int status = second.wait(20000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(requests("/api/sync/push").size(), 2u);
    const auto operationIds = [](const json& body) {
        std::vector<std::string> ids;
        for (const auto& op : body["operations"]) ids.push_back(op["operationId"]);
        return ids;
    };
    EXPECT_EQ(operationIds(pushBody(1)), operationIds(held));

    QTest::qWait(3300);  // the held push is answered now, late, and must not apply again
    cache_.open();
    EXPECT_TRUE(cache_.getPendingSyncOperations().empty());
    cycle();
    const auto stored = cache_.getSnippets(kTeam, false);
    ASSERT_EQ(stored.size(), 5u);
    for (const auto& snippet : stored) EXPECT_EQ(snippet.version, 1) << snippet.snippetTitle;
}

}  // namespace
