#include <algorithm>
#include <fstream>
#include <map>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TeamDbFixture.h"
#include "support/ModelsTestSupport.h"
#include "platform/Clock.h"

namespace sablix::teamdb {
namespace {

// Dates the records these tests make.
const platform::FakeClock kClock;

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
    return {.id = Uuid::generate(),
            .entityId = Uuid::generate(),
            .payload = "{}",
            .teamId = team,
            .createdAt = at(createdAt),
            .lastError = std::nullopt,
            .userId = std::nullopt};
}

std::vector<Uuid> idsOf(const std::vector<SyncOperation>& operations) {
    std::vector<Uuid> ids;
    for (const auto& op : operations) ids.push_back(op.id);
    return ids;
}

// The text with each run of white space made one space, none at either end.
std::string collapsed(const std::string& text) {
    return std::regex_replace(std::regex_replace(text, std::regex("\\s+"), " "), std::regex("^ | $"), "");
}

class TeamSnippetCacheTest : public TeamDbTest {
protected:
    void SetUp() override { cache.open(); }
    TeamSnippetCache cache{databasePath()};
    const Uuid team = Uuid::generate();
};

TEST_F(TeamSnippetCacheTest, OpeningMakesTheSchemaOnceAndKeepsWhatIsStored) {
    cache.open();
    EXPECT_EQ(collapsed(shell("select sql from sqlite_schema where sql is not null")), collapsed(R"(
CREATE TABLE team_snippets ( id TEXT PRIMARY KEY, team_id TEXT NOT NULL, owner_id TEXT, snippet_title TEXT NOT NULL,
  snippet_content TEXT NOT NULL, tags TEXT, visibility TEXT DEFAULT 'team', version INTEGER DEFAULT 1,
  created_at TEXT NOT NULL, updated_at TEXT NOT NULL, deleted_at TEXT, UNIQUE(id, team_id) )
CREATE TABLE sync_metadata ( snippet_id TEXT PRIMARY KEY, sync_status TEXT NOT NULL, last_synced_at TEXT,
  last_modified_locally TEXT, server_version INTEGER, pending_operation TEXT, conflict_data TEXT,
  FOREIGN KEY(snippet_id) REFERENCES team_snippets(id) ON DELETE CASCADE )
CREATE TABLE sync_operations ( id TEXT PRIMARY KEY, entity_type TEXT NOT NULL, entity_id TEXT NOT NULL,
  operation TEXT NOT NULL, payload TEXT NOT NULL, team_id TEXT, created_at TEXT NOT NULL,
  retry_count INTEGER DEFAULT 0, last_error TEXT , user_id TEXT)
CREATE TABLE team_sync_state ( team_id TEXT PRIMARY KEY, last_synced_at TEXT, last_server_timestamp TEXT )
CREATE INDEX idx_snippets_team_id ON team_snippets(team_id)
CREATE INDEX idx_snippets_deleted ON team_snippets(deleted_at)
CREATE INDEX idx_metadata_status ON sync_metadata(sync_status)
CREATE INDEX idx_operations_created ON sync_operations(created_at)
)"));

    cache.saveSnippet(snippet("addr", team), SyncMetadata::newLocal(kClock));
    TeamSnippetCache again(databasePath());
    again.open();
    EXPECT_EQ(again.getSnippets(team, false).size(), 1u);
}

TEST_F(TeamSnippetCacheTest, SnippetsReadBackAsSavedAndSavingAgainReplacesThem) {
    SnippetItem item = snippet("addr", team);
    item.ownerId.reset();
    item.tags = {"Work", "Mail"};  // as a decoded record may hold them
    item.snippet = "Line one\nline 'two' \"quoted\" \xE2\x9C\x93";
    item.updatedAt.secondsSince2001 += 0.9;  // stored to the whole second
    platform::FakeClock clock(at("2024-06-01T12:00:00Z"));
    cache.saveSnippet(item, SyncMetadata::newLocal(clock));
    cache.saveSnippet(snippet("personal", std::nullopt), SyncMetadata::newLocal(kClock));
    cache.saveSnippet(snippet("other", Uuid::generate()), SyncMetadata::newLocal(kClock));
    cache.saveSnippet(snippet("gone", team, at("2024-02-04T00:00:00Z")), SyncMetadata::newLocal(kClock));

    SnippetItem expected = item;
    expected.tags = {"work", "mail"};
    expected.updatedAt = at("2024-02-03T09:10:11Z");
    EXPECT_EQ(cache.getSnippets(team, false), std::vector<SnippetItem>{expected});
    EXPECT_EQ(cache.getSnippets(team, true).size(), 2u);
    EXPECT_EQ(shell("select owner_id is null, tags from team_snippets where snippet_title = 'addr'"),
              "1|[\"Work\",\"Mail\"]\n");
    const std::string metadataOfItem = "from sync_metadata where snippet_id = '" + item.id.toString() + "'";
    EXPECT_EQ(shell("select sync_status, last_modified_locally, server_version, pending_operation " + metadataOfItem),
              "pendingUpload|2024-06-01T12:00:00Z||create\n");

    item.snippet = "new content";
    SyncMetadata metadata = SyncMetadata::synced(4, clock);
    metadata.conflictData = ConflictData{expected, expected, at("2024-06-01T12:00:05Z")};
    cache.saveSnippet(item, metadata);
    const auto read = cache.getSnippets(team, false);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].snippet, "new content");
    EXPECT_EQ(shell("select count(*), sync_status, server_version, pending_operation is null " + metadataOfItem),
              "1|synced|4|1\n");
    EXPECT_EQ(ConflictData::fromJson(nlohmann::json::parse(shell("select conflict_data " + metadataOfItem)), kClock),
              *metadata.conflictData);
}

TEST_F(TeamSnippetCacheTest, RowsAnotherWriterLeftReadAsFarAsTheyCan) {
    // Each row's values after its id and team, as SQL literals.
    const auto snippetRow = [&](char n, const std::string& values) {
        shell(
            "insert into team_snippets (id, team_id, owner_id, snippet_title, snippet_content, tags, visibility, "
            "version, created_at, updated_at, deleted_at) values ('00000000-0000-4000-8000-00000000000" +
            std::string(1, n) + "', '" + team.toString() + "', " + values + ")");
    };
    const std::string dates = "'2024-01-01T00:00:00Z', '2024-01-01T00:00:00Z'";
    snippetRow('1', "'no uuid', 'odd', 'c', null, 'everyone', null, " + dates + ", null");
    snippetRow('2', "null, 'tagged', 'c', '{\"a\":1}', null, 2, " + dates + ", null");
    snippetRow('3', "null, 'baddate', 'c', '[]', 'team', 1, 'last tuesday', '2024-01-01T00:00:00Z', null");
    snippetRow('a', "null, 'baddeleted', 'c', '[\"A\"]', 'team', 1, " + dates + ", 'soon'");

    std::map<std::string, SnippetItem> byTitle;
    for (auto& item : cache.getSnippets(team, true)) byTitle.emplace(item.snippetTitle, item);
    ASSERT_EQ(byTitle.size(), 3u);  // the row with a bad creation date is left out
    const auto& odd = byTitle.at("odd");
    EXPECT_TRUE(odd.visibility == SnippetVisibility::team && odd.tags.empty() && odd.version == 0 && !odd.ownerId);
    EXPECT_EQ(byTitle.at("tagged").visibility, SnippetVisibility::team);
    EXPECT_TRUE(byTitle.at("tagged").tags.empty());
    EXPECT_EQ(byTitle.at("baddeleted").tags, std::vector<std::string>{"a"});
    EXPECT_FALSE(byTitle.at("baddeleted").deletedAt);
    EXPECT_EQ(byTitle.at("baddeleted").id.toString(), "00000000-0000-4000-8000-00000000000A");
    EXPECT_EQ(cache.getSnippets(team, false).size(), 2u);  // yet the query counts it as deleted

    // Queue rows of an unknown entity type or with a bad date are left out; a NULL retry count is 0.
    const auto queueRow = [&](char n, const char* type, const char* operation, const char* createdAt) {
        shell(
            "insert into sync_operations (id, entity_type, entity_id, operation, payload, created_at, retry_count) "
            "values ('00000000-0000-4000-8000-00000000000" +
            std::string(1, n) + "', '" + type + "', '" + Uuid::generate().toString() + "', '" + operation +
            "', '{}', '" + createdAt + "', null)");
    };
    queueRow('1', "snippet", "delete", "2024-01-01T00:00:01Z");
    queueRow('2', "Snippet", "update", "2024-01-01T00:00:02Z");
    queueRow('3', "snippet", "update", "now");
    const auto queue = cache.getPendingSyncOperations();
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].operation, PendingOperation::remove);
    EXPECT_EQ(queue[0].retryCount, 0);
}

TEST_F(TeamSnippetCacheTest, DeletingRemovesOnlyTheNamedRowsEvenBeforeAnOpen) {
    const auto first = snippet("first", team);
    for (const auto& item :
         {first, snippet("second", team), snippet("theirs", Uuid::generate()), snippet("personal", std::nullopt)})
        cache.saveSnippet(item, SyncMetadata::newLocal(kClock));
    cache.deleteSnippet(first.id);
    cache.deleteSnippet(Uuid::generate());  // not stored: no error
    EXPECT_EQ(shell("select snippet_title from team_snippets order by 1"), "personal\nsecond\ntheirs\n");

    TeamSnippetCache fresh(databasePath());  // as in a new process: never opened
    fresh.deleteAllSnippets(team);
    EXPECT_EQ(shell("select snippet_title from team_snippets order by 1"), "personal\ntheirs\n");
}

TEST_F(TeamSnippetCacheTest, QueueIsReadInQueueingOrderAndRefusesDuplicatesAndNonText) {
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

    EXPECT_EQ(failureOf([&] { cache.enqueueSyncOperation(create); }),
              "Failed to execute statement: UNIQUE constraint failed: sync_operations.id");
    SyncOperation binary = operation("2024-03-01T10:00:01Z");
    binary.payload = "{\"a\":\"\xC3\x28\"}";
    EXPECT_THAT(failureOf([&] { cache.enqueueSyncOperation(binary); }), HasSubstr("NOT NULL constraint failed"));
    cache.dequeueSyncOperation(create.id);
    cache.dequeueSyncOperation(Uuid::generate());
    EXPECT_EQ(idsOf(cache.getPendingSyncOperations()), (std::vector<Uuid>{earlier.id, remove.id, later.id}));
}

TEST_F(TeamSnippetCacheTest, AFailedOpenIsReportedAndCanBeRetried) {
    const auto blockedPath = folder() / "elsewhere.db";
    std::filesystem::create_directories(blockedPath);  // nothing opens where a folder stands
    TeamSnippetCache blocked(blockedPath);
    EXPECT_EQ(failureOf([&] { blocked.open(); }), "Failed to execute statement: unable to open database file");
    EXPECT_EQ(failureOf([&] { blocked.getSnippets(Uuid(), false); }), "Database is not open");
    EXPECT_EQ(failureOf([&] { blocked.saveSnippet(snippet("addr", team), SyncMetadata::newLocal(kClock)); }),
              "Database is not open");
    std::filesystem::remove(blockedPath);
    blocked.open();
    EXPECT_TRUE(blocked.isOpen());

    // A file that is not a database is moved aside (see below) and opens empty.
    const auto damaged = folder() / "damaged.db";
    std::ofstream(damaged) << std::string(4096, 'x');
    TeamSnippetCache onDamaged(damaged);
    onDamaged.open();
    onDamaged.enqueueSyncOperation(operation("2024-01-01T00:00:00Z"));
    EXPECT_EQ(onDamaged.getPendingSyncOperations().size(), 1u);

    std::ofstream(folder() / "blocked") << "a file, not a folder";
    TeamSnippetCache underAFile(folder() / "blocked" / "Sablix" / "team_snippets.db");
    EXPECT_THROW(underAFile.open(), std::filesystem::filesystem_error);
}

// A file whose first pages are whole opens; every read that meets the later ones would fail, for
// good. It is kept aside like a file that is not a database at all (see the end-to-end test).
TEST_F(TeamDbTest, AFileMalformedPastItsSchemaIsKeptAsideAndReplacedByAnEmptyOne) {
    const Uuid team = Uuid::generate();
    {
        TeamSnippetCache whole(databasePath());
        whole.open();
        SnippetItem item = snippet("long", team);
        for (char letter = 'a'; letter < 'u'; ++letter) {
            item.id = Uuid::generate();
            item.snippet = std::string(3000, letter);
            whole.saveSnippet(item, SyncMetadata::newLocal(kClock));
        }
    }
    std::string damaged = modelstest::readFile(databasePath());
    constexpr size_t kWholePages = 2;  // the header and the schema
    std::fill(damaged.begin() + 4096 * kWholePages, damaged.end(), '\xA5');
    modelstest::writeFile(databasePath(), damaged);

    TeamSnippetCache cache(databasePath());
    ASSERT_NO_THROW(cache.open());
    EXPECT_TRUE(cache.getSnippets(team, false).empty());
    const auto copies = [&] {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(databasePath().parent_path()))
            if (entry.path().filename().string().starts_with("team_snippets.db.damaged-"))
                found.push_back(entry.path());
        return found;
    }();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_TRUE(modelstest::readFile(copies[0]) == damaged) << "the copy differs from the damaged file";
}

}  // namespace
}  // namespace sablix::teamdb
