#include <fstream>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TeamDbFixture.h"

namespace sablix::teamdb {
namespace {

using platform::Uuid;
using ::testing::HasSubstr;

// The description of the TeamSnippetCacheError a call ends in, or "" when it succeeds.
template <class F>
std::string failureOf(F&& call) {
    try {
        call();
    } catch (const TeamSnippetCacheError& error) {
        return error.description();
    }
    return "";
}

SyncOperation operation(const char* createdAt, std::optional<Uuid> team = Uuid::generate()) {
    return SyncOperation{Uuid::generate(),
                         EntityType::snippet,
                         Uuid::generate(),
                         PendingOperation::update,
                         "{\"snippetTitle\":\"addr\"}",
                         team,
                         at(createdAt),
                         0,
                         std::nullopt};
}

std::vector<Uuid> idsOf(const std::vector<SyncOperation>& operations) {
    std::vector<Uuid> ids;
    for (const auto& op : operations) ids.push_back(op.id);
    return ids;
}

using TeamSnippetCacheTest = TeamDbTest;

TEST_F(TeamSnippetCacheTest, EveryOperationNeedsAnOpenDatabase) {
    TeamSnippetCache cache(databasePath());
    const Uuid id = Uuid::generate();
    EXPECT_EQ(failureOf([&] { cache.getSnippets(id, false); }), "Database is not open");
    EXPECT_EQ(failureOf([&] { cache.saveSnippet(snippet("addr", id), SyncMetadata::newLocal()); }),
              "Database is not open");
    EXPECT_EQ(failureOf([&] { cache.dequeueSyncOperation(id); }), "Database is not open");
    EXPECT_FALSE(std::filesystem::exists(databasePath()));
}

TEST_F(TeamSnippetCacheTest, OpeningMakesTheFolderAndTheSchema) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    cache.open();  // a second call changes nothing
    EXPECT_EQ(shell("select sql from sqlite_schema where sql is not null"),
              "CREATE TABLE team_snippets (\n"
              "    id TEXT PRIMARY KEY,\n"
              "    team_id TEXT NOT NULL,\n"
              "    owner_id TEXT,\n"
              "    snippet_title TEXT NOT NULL,\n"
              "    snippet_content TEXT NOT NULL,\n"
              "    tags TEXT,\n"
              "    visibility TEXT DEFAULT 'team',\n"
              "    version INTEGER DEFAULT 1,\n"
              "    created_at TEXT NOT NULL,\n"
              "    updated_at TEXT NOT NULL,\n"
              "    deleted_at TEXT,\n"
              "    UNIQUE(id, team_id)\n"
              ")\n"
              "CREATE TABLE sync_metadata (\n"
              "    snippet_id TEXT PRIMARY KEY,\n"
              "    sync_status TEXT NOT NULL,\n"
              "    last_synced_at TEXT,\n"
              "    last_modified_locally TEXT,\n"
              "    server_version INTEGER,\n"
              "    pending_operation TEXT,\n"
              "    conflict_data TEXT,\n"
              "    FOREIGN KEY(snippet_id) REFERENCES team_snippets(id) ON DELETE CASCADE\n"
              ")\n"
              "CREATE TABLE sync_operations (\n"
              "    id TEXT PRIMARY KEY,\n"
              "    entity_type TEXT NOT NULL,\n"
              "    entity_id TEXT NOT NULL,\n"
              "    operation TEXT NOT NULL,\n"
              "    payload TEXT NOT NULL,\n"
              "    team_id TEXT,\n"
              "    created_at TEXT NOT NULL,\n"
              "    retry_count INTEGER DEFAULT 0,\n"
              "    last_error TEXT\n"
              ")\n"
              "CREATE TABLE team_sync_state (\n"
              "    team_id TEXT PRIMARY KEY,\n"
              "    last_synced_at TEXT,\n"
              "    last_server_timestamp TEXT\n"
              ")\n"
              "CREATE INDEX idx_snippets_team_id ON team_snippets(team_id)\n"
              "CREATE INDEX idx_snippets_deleted ON team_snippets(deleted_at)\n"
              "CREATE INDEX idx_metadata_status ON sync_metadata(sync_status)\n"
              "CREATE INDEX idx_operations_created ON sync_operations(created_at)\n");

    // Another process opening the existing file keeps what is stored.
    const Uuid team = Uuid::generate();
    cache.saveSnippet(snippet("addr", team), SyncMetadata::newLocal());
    TeamSnippetCache again(databasePath());
    again.open();
    EXPECT_EQ(again.getSnippets(team, false).size(), 1u);
}

TEST_F(TeamSnippetCacheTest, SnippetsReadBackAsSaved) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const Uuid team = Uuid::generate();
    SnippetItem ownerless = snippet("addr", team);
    ownerless.ownerId.reset();
    ownerless.snippet = "Line one\nline 'two' \"quoted\" \xE2\x9C\x93";
    ownerless.tags = {"Work", "Mail"};            // as a decoded record may hold them
    ownerless.updatedAt.secondsSince2001 += 0.9;  // stored to the whole second
    cache.saveSnippet(ownerless, SyncMetadata::newLocal());
    cache.saveSnippet(snippet("personal", std::nullopt), SyncMetadata::newLocal());
    cache.saveSnippet(snippet("other", Uuid::generate()), SyncMetadata::newLocal());
    const auto gone = snippet("gone", team, at("2024-02-04T00:00:00Z"));
    cache.saveSnippet(gone, SyncMetadata::newLocal());

    const auto read = cache.getSnippets(team, false);
    ASSERT_EQ(read.size(), 1u);
    SnippetItem expected = ownerless;
    expected.tags = {"work", "mail"};
    expected.updatedAt = at("2024-02-03T09:10:11Z");
    EXPECT_EQ(read[0], expected);
    EXPECT_EQ(shell("select owner_id is null, tags from team_snippets where snippet_title = 'addr'"),
              "1|[\"Work\",\"Mail\"]\n");
    EXPECT_EQ(shell("select count(*) from team_snippets where team_id = ''"), "1\n");
    EXPECT_TRUE(cache.getSnippets(Uuid(), true).empty());
    EXPECT_EQ(cache.getSnippets(team, true).size(), 2u);
}

TEST_F(TeamSnippetCacheTest, SavingAgainReplacesTheSnippetAndItsMetadata) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const Uuid team = Uuid::generate();
    SnippetItem item = snippet("addr", team);
    platform::FakeClock clock(at("2024-06-01T12:00:00Z"));
    cache.saveSnippet(item, SyncMetadata::newLocal(clock));
    EXPECT_EQ(shell("select sync_status, last_modified_locally, server_version, pending_operation from sync_metadata"),
              "pendingUpload|2024-06-01T12:00:00Z||create\n");

    item.snippet = "new content";
    SyncMetadata metadata = SyncMetadata::synced(4, clock);
    metadata.conflictData = ConflictData{item, item, at("2024-06-01T12:00:05Z")};
    cache.saveSnippet(item, metadata);
    ASSERT_EQ(cache.getSnippets(team, false).size(), 1u);
    EXPECT_EQ(cache.getSnippets(team, false)[0].snippet, "new content");
    EXPECT_EQ(shell("select count(*), sync_status, server_version, pending_operation is null from sync_metadata"),
              "1|synced|4|1\n");
    const auto conflict = nlohmann::json::parse(shell("select conflict_data from sync_metadata"));
    EXPECT_EQ(ConflictData::fromJson(conflict), *metadata.conflictData);
}

TEST_F(TeamSnippetCacheTest, RowsFromAnotherWriterReadAsFarAsTheyCan) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const Uuid team = Uuid::generate();
    const std::string insert =
        "insert into team_snippets (id, team_id, owner_id, snippet_title, snippet_content, "
        "tags, visibility, version, created_at, updated_at, deleted_at) values ('" +
        std::string("00000000-0000-4000-8000-00000000000");
    const std::string teamAnd = "','" + team.toString() + "',";
    const std::string dates = "'2024-01-01T00:00:00Z','2024-01-01T00:00:00Z',";
    shell(insert + "1" + teamAnd + "'no uuid','odd','c',null,'everyone',null," + dates + "null);" + insert + "2" +
          teamAnd + "null,'tagged','c','{\"a\":1}',null,2," + dates + "null);" + insert + "3" + teamAnd +
          "null,'baddate','c','[]','team',1,'last tuesday','2024-01-01T00:00:00Z',null);" + insert + "a" + teamAnd +
          "null,'baddeleted','c','[\"A\"]','team',1," + dates + "'soon');");

    std::map<std::string, SnippetItem> byTitle;
    for (auto& item : cache.getSnippets(team, true)) byTitle.emplace(item.snippetTitle, item);
    ASSERT_EQ(byTitle.size(), 3u);  // the row with a bad creation date is left out
    const auto& odd = byTitle.at("odd");
    EXPECT_EQ(odd.visibility, SnippetVisibility::team);
    EXPECT_TRUE(odd.tags.empty());
    EXPECT_EQ(odd.version, 0);
    EXPECT_FALSE(odd.ownerId);
    EXPECT_EQ(byTitle.at("tagged").visibility, SnippetVisibility::team);
    EXPECT_TRUE(byTitle.at("tagged").tags.empty());
    EXPECT_EQ(byTitle.at("baddeleted").tags, std::vector<std::string>{"a"});
    EXPECT_FALSE(byTitle.at("baddeleted").deletedAt);
    EXPECT_EQ(byTitle.at("baddeleted").id.toString(), "00000000-0000-4000-8000-00000000000A");
    EXPECT_EQ(cache.getSnippets(team, false).size(), 2u);  // yet the query counts it as deleted
}

TEST_F(TeamSnippetCacheTest, DeletingRemovesOnlyTheNamedRows) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const Uuid team = Uuid::generate(), other = Uuid::generate();
    const auto first = snippet("first", team), second = snippet("second", team);
    for (const auto& item : {first, second, snippet("theirs", other), snippet("personal", std::nullopt)})
        cache.saveSnippet(item, SyncMetadata::newLocal());

    cache.deleteSnippet(first.id);
    cache.deleteSnippet(Uuid::generate());  // not stored: no error
    EXPECT_EQ(shell("select snippet_title from team_snippets order by snippet_title"), "personal\nsecond\ntheirs\n");
    EXPECT_EQ(shell("select count(*) from sync_metadata"), "4\n");
    cache.deleteAllSnippets(team);
    EXPECT_EQ(shell("select snippet_title from team_snippets order by snippet_title"), "personal\ntheirs\n");
}

TEST_F(TeamSnippetCacheTest, DeletingATeamsSnippetsOpensTheDatabaseWhenNothingElseDid) {
    const Uuid team = Uuid::generate();
    {
        TeamSnippetCache earlier(databasePath());
        earlier.open();
        earlier.saveSnippet(snippet("addr", team), SyncMetadata::newLocal());
    }
    TeamSnippetCache cache(databasePath());  // as in a new process: never opened
    cache.deleteAllSnippets(team);
    EXPECT_EQ(shell("select count(*) from team_snippets"), "0\n");
}

TEST_F(TeamSnippetCacheTest, QueueIsReadOldestFirstInQueueingOrder) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    // Within one second a create must still come before its delete, whatever their ids.
    SyncOperation create = operation("2024-03-01T10:00:05Z");
    create.id = *Uuid::fromString("FFFFFFFF-0000-4000-8000-000000000000");
    SyncOperation remove = operation("2024-03-01T10:00:05Z");
    remove.id = *Uuid::fromString("00000000-0000-4000-8000-000000000000");
    SyncOperation later = operation("2024-03-01T10:00:06Z", std::nullopt);
    later.retryCount = 2;
    later.lastError = "HTTP 500";
    SyncOperation earlier = operation("2024-02-28T23:59:59Z");
    earlier.createdAt.secondsSince2001 += 0.7;  // stored to the whole second

    for (const auto& op : {later, create, remove, earlier}) cache.enqueueSyncOperation(op);
    const auto queue = cache.getPendingSyncOperations();
    EXPECT_EQ(idsOf(queue), (std::vector<Uuid>{earlier.id, create.id, remove.id, later.id}));
    EXPECT_EQ(queue.at(3), later);
    EXPECT_EQ(queue.at(0).createdAt, at("2024-02-28T23:59:59Z"));

    cache.dequeueSyncOperation(create.id);
    cache.dequeueSyncOperation(Uuid::generate());
    EXPECT_EQ(idsOf(cache.getPendingSyncOperations()), (std::vector<Uuid>{earlier.id, remove.id, later.id}));
}

TEST_F(TeamSnippetCacheTest, QueueRefusesDuplicatesAndPayloadsThatAreNotText) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const SyncOperation op = operation("2024-03-01T10:00:00Z");
    cache.enqueueSyncOperation(op);
    EXPECT_EQ(failureOf([&] { cache.enqueueSyncOperation(op); }),
              "Failed to execute statement: UNIQUE constraint failed: sync_operations.id");
    SyncOperation binary = operation("2024-03-01T10:00:01Z");
    binary.payload = "{\"a\":\"\xC3\x28\"}";
    EXPECT_THAT(failureOf([&] { cache.enqueueSyncOperation(binary); }), HasSubstr("NOT NULL constraint failed"));
    EXPECT_EQ(idsOf(cache.getPendingSyncOperations()), std::vector<Uuid>{op.id});
    shell("drop table sync_operations");
    EXPECT_THAT(failureOf([&] { cache.getPendingSyncOperations(); }), HasSubstr("no such table: sync_operations"));
}

TEST_F(TeamSnippetCacheTest, QueueRowsFromAnotherWriterReadAsFarAsTheyCan) {
    TeamSnippetCache cache(databasePath());
    cache.open();
    const std::string insert =
        "insert into sync_operations (id, entity_type, entity_id, operation, payload, team_id, "
        "created_at, retry_count, last_error) values ('00000000-0000-4000-8000-00000000000";
    const std::string entity = "','" + Uuid::generate().toString() + "',";
    shell(insert + "1','snippet" + entity + "'update','{}','no team','2024-01-01T00:00:01Z',null,null);" + insert +
          "2','Snippet" + entity + "'update','{}',null,'2024-01-01T00:00:02Z',0,null);" + insert + "3','snippet" +
          entity + "'delete','{}',null,'now',0,null);" + insert + "4','teamMember" + entity +
          "'delete','x',null,'2024-01-01T00:00:04Z',3,'gone');");
    const auto queue = cache.getPendingSyncOperations();
    ASSERT_EQ(queue.size(), 2u);  // an unknown entity type and a bad date are left out
    EXPECT_FALSE(queue[0].teamId);
    EXPECT_EQ(queue[0].retryCount, 0);
    EXPECT_EQ(queue[1].operation, PendingOperation::remove);
    EXPECT_EQ(queue[1].lastError, "gone");
}

TEST_F(TeamSnippetCacheTest, AFailedOpenIsReportedAndCanBeRetried) {
    std::filesystem::create_directories(databasePath());  // nothing opens where a folder stands
    TeamSnippetCache cache(databasePath());
    EXPECT_EQ(failureOf([&] { cache.open(); }), "Failed to execute statement: unable to open database file");
    EXPECT_EQ(failureOf([&] { cache.getSnippets(Uuid(), false); }), "Database is not open");
    std::filesystem::remove(databasePath());
    cache.open();
    EXPECT_TRUE(cache.isOpen());

    // A file that is not a database opens, but cannot take the schema.
    const auto damaged = folder() / "damaged.db";
    std::ofstream(damaged) << std::string(4096, 'x');
    TeamSnippetCache onDamaged(damaged);
    EXPECT_EQ(failureOf([&] { onDamaged.open(); }), "Failed to execute statement: file is not a database");
    EXPECT_EQ(failureOf([&] { onDamaged.getPendingSyncOperations(); }), "Database is not open");
    std::filesystem::remove(damaged);
    onDamaged.open();
    onDamaged.enqueueSyncOperation(operation("2024-01-01T00:00:00Z"));
    EXPECT_EQ(onDamaged.getPendingSyncOperations().size(), 1u);

    std::ofstream(folder() / "blocked") << "a file, not a folder";
    TeamSnippetCache blocked(folder() / "blocked" / "Sablix" / "team_snippets.db");
    EXPECT_THROW(blocked.open(), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace sablix::teamdb
