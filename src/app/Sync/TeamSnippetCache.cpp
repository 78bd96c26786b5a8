#include "Sync/TeamSnippetCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "platform/BackupFile.h"
#include "platform/Paths.h"
#include "platform/Sqlite.h"
#include "platform/Utf8.h"
#include "posix/LogText.h"
#include "posix/PrivateFiles.h"

namespace sablix {
namespace {

using nlohmann::json;

constexpr const char* kQueueLabel = "com.sablix.snippetcache";
constexpr const char* kDatabaseFileName = "team_snippets.db";
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
// Another connection to the file (a backup, the sqlite3 shell, a second instance) holds its lock
// for moments; without a wait every write during that moment would fail outright.
constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kDamagedInfix = ".damaged-";
// The files SQLite keeps beside a database while it writes; a damaged database's go with it.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};
// SQLite's own check of the file's structure, reading every page once; one row "ok" when whole.
constexpr const char* kCheckStructure = "PRAGMA quick_check";
constexpr const char* kStructureWhole = "ok";

constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS team_snippets (\n"
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
    ")",
    "CREATE TABLE IF NOT EXISTS sync_metadata (\n"
    "    snippet_id TEXT PRIMARY KEY,\n"
    "    sync_status TEXT NOT NULL,\n"
    "    last_synced_at TEXT,\n"
    "    last_modified_locally TEXT,\n"
    "    server_version INTEGER,\n"
    "    pending_operation TEXT,\n"
    "    conflict_data TEXT,\n"
    "    FOREIGN KEY(snippet_id) REFERENCES team_snippets(id) ON DELETE CASCADE\n"
    ")",
    "CREATE TABLE IF NOT EXISTS sync_operations (\n"
    "    id TEXT PRIMARY KEY,\n"
    "    entity_type TEXT NOT NULL,\n"
    "    entity_id TEXT NOT NULL,\n"
    "    operation TEXT NOT NULL,\n"
    "    payload TEXT NOT NULL,\n"
    "    team_id TEXT,\n"
    "    created_at TEXT NOT NULL,\n"
    "    retry_count INTEGER DEFAULT 0,\n"
    "    last_error TEXT\n"
    ")",
    "CREATE TABLE IF NOT EXISTS team_sync_state (\n"
    "    team_id TEXT PRIMARY KEY,\n"
    "    last_synced_at TEXT,\n"
    "    last_server_timestamp TEXT\n"
    ")",
    "CREATE INDEX IF NOT EXISTS idx_snippets_team_id ON team_snippets(team_id)",
    "CREATE INDEX IF NOT EXISTS idx_snippets_deleted ON team_snippets(deleted_at)",
    "CREATE INDEX IF NOT EXISTS idx_metadata_status ON sync_metadata(sync_status)",
    "CREATE INDEX IF NOT EXISTS idx_operations_created ON sync_operations(created_at)",
};

// Columns are named rather than "*" so that the readers' positions hold whatever the table's
// column order in an existing file.
constexpr const char* kSelectSnippets =
    "SELECT id, team_id, owner_id, snippet_title, snippet_content, tags, visibility, version, created_at, "
    "updated_at, deleted_at FROM team_snippets WHERE team_id = ?";
constexpr const char* kNotDeleted = " AND deleted_at IS NULL";
constexpr const char* kSaveSnippet =
    "INSERT OR REPLACE INTO team_snippets\n"
    "(id, team_id, owner_id, snippet_title, snippet_content, tags, visibility, version, created_at, updated_at, "
    "deleted_at)\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kSaveMetadata =
    "INSERT OR REPLACE INTO sync_metadata\n"
    "(snippet_id, sync_status, last_synced_at, last_modified_locally, server_version, pending_operation, "
    "conflict_data)\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kDeleteSnippet = "DELETE FROM team_snippets WHERE id = ?";
constexpr const char* kDeleteTeamSnippets = "DELETE FROM team_snippets WHERE team_id = ?";
// Dates have whole seconds, so changes queued within one second tie on created_at; the rowid
// keeps them in the order they were queued (a create must be pushed before its delete).
constexpr const char* kSelectOperations =
    "SELECT id, entity_type, entity_id, operation, payload, team_id, created_at, retry_count, last_error, user_id "
    "FROM sync_operations ORDER BY created_at ASC, rowid ASC";
constexpr const char* kEnqueueOperation =
    "INSERT INTO sync_operations\n"
    "(id, entity_type, entity_id, operation, payload, team_id, created_at, retry_count, last_error, user_id)\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kDequeueOperation = "DELETE FROM sync_operations WHERE id = ?";
// A row without a user is nobody's known, so it goes with the other users' rows.
constexpr const char* kDequeueOtherUsers = "DELETE FROM sync_operations WHERE user_id IS NOT ?";
constexpr const char* kDeleteAllSnippets = "DELETE FROM team_snippets";
constexpr const char* kDeleteAllMetadata = "DELETE FROM sync_metadata";

// The column that records who queued a change, added to a queue made before changes recorded it.
// Its rows keep no user, and so are never pushed.
constexpr const char* kOperationsUserColumn = "user_id";
constexpr const char* kListOperationsColumns = "PRAGMA table_info(sync_operations)";
constexpr const char* kAddOperationsUserColumn = "ALTER TABLE sync_operations ADD COLUMN user_id TEXT";

// The JSON text of a value; text that cannot be coded as JSON (bytes that are not UTF-8) is
// reported as an encoding failure rather than stored damaged.
std::string jsonText(const json& value) {
    try {
        return value.dump();
    } catch (const json::exception&) {
        throw TeamSnippetCacheError::encodingFailed();
    }
}

using Statement = platform::sqlite::Statement<TeamSnippetCacheError>;
using platform::sqlite::ConnectionLock;
using platform::sqlite::errorMessage;

std::optional<platform::Uuid> uuidColumn(const Statement& row, int column) {
    auto text = row.text(column);
    return text ? platform::Uuid::fromString(*text) : std::nullopt;
}

std::optional<platform::Date> dateColumn(const Statement& row, int column) {
    auto text = row.text(column);
    return text ? platform::Date::fromIso8601(*text) : std::nullopt;
}

std::optional<std::string> dateText(const std::optional<platform::Date>& date) {
    return date ? std::optional(date->iso8601()) : std::nullopt;
}

std::optional<std::string> uuidText(const std::optional<platform::Uuid>& uuid) {
    return uuid ? std::optional(uuid->toString()) : std::nullopt;
}

// Runs a statement whose one parameter is an id.
void runWithId(sqlite3* db, const char* sql, const platform::Uuid& id) {
    ConnectionLock lock(db);
    Statement statement(db, sql);
    statement.bindText(1, id.toString());
    statement.run();
}

std::vector<std::string> tagsFromJson(const std::optional<std::string>& text) {
    if (!text) return {};
    const json parsed = json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_array()) return {};
    std::vector<std::string> tags;
    for (const auto& tag : parsed) {
        if (!tag.is_string()) return {};
        tags.push_back(tag.get<std::string>());
    }
    return tags;
}

// Columns: 0 id, 1 team_id, 2 owner_id, 3 snippet_title, 4 snippet_content, 5 tags, 6 visibility,
// 7 version, 8 created_at, 9 updated_at, 10 deleted_at.
std::optional<SnippetItem> parseSnippetRow(const Statement& row) {
    const auto id = uuidColumn(row, 0);
    const auto team = row.text(1);
    auto title = row.text(3);
    auto content = row.text(4);
    const auto createdAt = dateColumn(row, 8);
    const auto updatedAt = dateColumn(row, 9);
    if (!id || !team || !title || !content || !createdAt || !updatedAt) return std::nullopt;

    const auto visibilityText = row.text(6);
    const auto visibility = visibilityText ? snippetVisibilityFromRaw(*visibilityText) : std::nullopt;
    return SnippetItem(*id, std::move(*title), std::move(*content), tagsFromJson(row.text(5)),
                       platform::Uuid::fromString(*team), uuidColumn(row, 2),
                       visibility.value_or(SnippetVisibility::team), row.integer(7), *createdAt, *updatedAt,
                       dateColumn(row, 10));
}

// Columns: 0 id, 1 entity_type, 2 entity_id, 3 operation, 4 payload, 5 team_id, 6 created_at,
// 7 retry_count, 8 last_error, 9 user_id.
std::optional<SyncOperation> parseSyncOperationRow(const Statement& row) {
    const auto id = uuidColumn(row, 0);
    const auto entityTypeText = row.text(1);
    const auto entityType = entityTypeText ? entityTypeFromRaw(*entityTypeText) : std::nullopt;
    const auto entityId = uuidColumn(row, 2);
    const auto operationText = row.text(3);
    const auto operation = operationText ? pendingOperationFromRaw(*operationText) : std::nullopt;
    auto payload = row.text(4);
    const auto createdAt = dateColumn(row, 6);
    if (!id || !entityType || !entityId || !operation || !payload || !createdAt) return std::nullopt;
    return SyncOperation{
        *id,        *entityType,    *entityId,   *operation,        std::move(*payload), uuidColumn(row, 5),
        *createdAt, row.integer(7), row.text(8), uuidColumn(row, 9)};
}

// One transaction on the connection, holding the connection's lock throughout so that no other
// thread's statement lands inside it. Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db), lock_(db) {
        platform::sqlite::execute<TeamSnippetCacheError>(db_, "BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        platform::sqlite::execute<TeamSnippetCacheError>(db_, "COMMIT");
        open_ = false;
    }

private:
    sqlite3* db_;
    ConnectionLock lock_;
    bool open_ = true;
};

bool isDamage(int sqliteResult) {
    const int primary = sqliteResult & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

void addOperationsUserColumn(sqlite3* db) {
    {
        Statement columns(db, kListOperationsColumns);
        // Rows of table_info: cid, name, type, notnull, dflt_value, pk.
        while (columns.step())
            if (columns.text(1) == kOperationsUserColumn) return;
    }
    platform::sqlite::execute<TeamSnippetCacheError>(db, kAddOperationsUserColumn);
}

// The first row of SQLite's structure check.
std::optional<std::string> structureCheck(sqlite3* db) {
    Statement check(db, kCheckStructure);
    return check.step() ? check.text(0) : std::nullopt;
}

// What opening the file came to: the handle, or why there is none and whether the reason is
// damage to the file.
struct Opening {
    sqlite3* db = nullptr;
    std::optional<TeamSnippetCacheError> failure;
    bool damaged = false;
};

Opening openDatabase(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &db, kOpenFlags, nullptr);
    // A handle that failed to open, or whose schema could not be made, is closed rather than
    // kept: the next open() then starts afresh instead of every call failing until restart.
    if (result != SQLITE_OK) {
        Opening failed{nullptr, TeamSnippetCacheError::executeFailed(db ? errorMessage(db) : sqlite3_errstr(result)),
                       isDamage(result)};
        sqlite3_close_v2(db);
        return failed;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    try {
        for (const char* statement : kSchema) platform::sqlite::execute<TeamSnippetCacheError>(db, statement);
        addOperationsUserColumn(db);
        // SQLite reads a page only when asked for it: a file damaged past its first pages would
        // otherwise open, and then fail every read that meets the damage.
        if (auto verdict = structureCheck(db); verdict != kStructureWhole) {
            sqlite3_close_v2(db);
            return {nullptr, TeamSnippetCacheError::executeFailed(verdict.value_or("no verdict")), true};
        }
    } catch (const TeamSnippetCacheError& error) {
        Opening failed{nullptr, error, isDamage(sqlite3_errcode(db))};
        sqlite3_close_v2(db);
        return failed;
    }
    return {db, std::nullopt, false};
}

}  // namespace

TeamSnippetCache::TeamSnippetCache(std::filesystem::path databasePath)
    : databasePath_(std::move(databasePath)), dbQueue_(kQueueLabel) {}

TeamSnippetCache::TeamSnippetCache(std::filesystem::path databasePath, SyncTimestamps timestamps)
    : databasePath_(std::move(databasePath)), timestamps_(timestamps), dbQueue_(kQueueLabel) {}

TeamSnippetCache::~TeamSnippetCache() {
    if (sqlite3* db = db_.exchange(nullptr)) sqlite3_close_v2(db);
}

std::filesystem::path TeamSnippetCache::databaseURL() {
    return platform::Paths::applicationSupport() / kDatabaseFileName;
}

void TeamSnippetCache::open() {
    dbQueue_.sync([this] {
        if (db_.load()) return;
        if (const auto folder = databasePath_.parent_path(); !folder.empty()) {
            if (const auto made = posix::createPrivateFolder(folder); !made)
                throw std::filesystem::filesystem_error("cannot make the database's folder", folder,
                                                        std::error_code(made.error, std::generic_category()));
        }
        makeDatabaseFilePrivate();

        Opening opening = openDatabase(databasePath_);
        if (opening.damaged) {
            setAsideDamagedFile(opening.failure->message());
            makeDatabaseFilePrivate();
            opening = openDatabase(databasePath_);
        }
        if (opening.failure) throw *opening.failure;
        db_.store(opening.db);
    });
}

// SQLite makes a new database file readable by everyone, and its journal and write-ahead log
// with the database file's mode: a file made private first keeps all three private.
void TeamSnippetCache::makeDatabaseFilePrivate() const {
    const int fd =
        ::open(databasePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, posix::kPrivateFileMode);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    if (errno == EEXIST) posix::makePrivate(databasePath_);
    for (const char* suffix : kCompanionSuffixes) posix::makePrivate(databasePath_.string() + suffix);
}

void TeamSnippetCache::setAsideDamagedFile(const std::string& damage) {
    // First: an empty database under a team's old timestamp would only ever get later changes.
    if (timestamps_) timestamps_->forgetAll();
    const std::string stem =
        databasePath_.string() + kDamagedInfix + std::to_string(static_cast<long long>(::time(nullptr)));
    const platform::BackupFile kept = platform::moveToBackupFile(databasePath_, stem, "");
    if (!kept) {
        logger_.error("The team snippet database %s is damaged (%s) and cannot be moved aside: %s",
                      posix::escapedForLog(databasePath_.string()).c_str(), posix::escapedForLog(damage).c_str(),
                      posix::escapedForLog(kept.error).c_str());
        throw TeamSnippetCacheError::executeFailed(damage);
    }
    // An older version made the file readable by everyone; the copy is kept long after.
    posix::makePrivate(kept.path);
    for (const char* suffix : kCompanionSuffixes) {
        const std::filesystem::path companion = databasePath_.string() + suffix;
        std::error_code ec;
        if (!std::filesystem::exists(companion, ec)) continue;
        // Left in place, a journal would be played into the new database.
        if (const auto moved = platform::moveToBackupFile(companion, kept.path, suffix); !moved)
            logger_.error("Cannot move %s aside: %s", posix::escapedForLog(companion.string()).c_str(),
                          posix::escapedForLog(moved.error).c_str());
    }
    logger_.error("The team snippet database %s is damaged (%s); it is kept as %s and an empty one takes its place",
                  posix::escapedForLog(databasePath_.string()).c_str(), posix::escapedForLog(damage).c_str(),
                  posix::escapedForLog(kept.path.string()).c_str());
}

bool TeamSnippetCache::isOpen() const { return db_.load() != nullptr; }

sqlite3* TeamSnippetCache::connection() const {
    sqlite3* db = db_.load();
    if (!db) throw TeamSnippetCacheError::databaseNotOpen();
    return db;
}

std::vector<SnippetItem> TeamSnippetCache::getSnippets(const platform::Uuid& teamId, bool includeDeleted) {
    sqlite3* db = connection();
    ConnectionLock lock(db);
    Statement statement(db, std::string(kSelectSnippets) + (includeDeleted ? "" : kNotDeleted));
    statement.bindText(1, teamId.toString());
    std::vector<SnippetItem> snippets;
    while (statement.step())
        if (auto snippet = parseSnippetRow(statement)) snippets.push_back(std::move(*snippet));
    return snippets;
}

void TeamSnippetCache::saveSnippet(const SnippetItem& snippet, const SyncMetadata& metadata) {
    sqlite3* db = connection();
    const std::string tags = jsonText(json(snippet.tags));
    ConnectionLock lock(db);
    {
        Statement statement(db, kSaveSnippet);
        statement.bindText(1, snippet.id.toString());
        statement.bindText(2, snippet.teamId ? snippet.teamId->toString() : std::string());
        statement.bindOptionalText(3, uuidText(snippet.ownerId));
        statement.bindText(4, snippet.snippetTitle);
        statement.bindText(5, snippet.snippet);
        statement.bindText(6, tags);
        statement.bindText(7, rawValue(snippet.visibility));
        statement.bindInteger(8, snippet.version);
        statement.bindText(9, snippet.createdAt.iso8601());
        statement.bindText(10, snippet.updatedAt.iso8601());
        statement.bindOptionalText(11, dateText(snippet.deletedAt));
        statement.run();
    }
    saveMetadata(metadata, snippet.id);
}

void TeamSnippetCache::saveMetadata(const SyncMetadata& metadata, const platform::Uuid& snippetId) {
    sqlite3* db = connection();
    const std::optional<std::string> conflict =
        metadata.conflictData ? std::optional(jsonText(metadata.conflictData->toJson())) : std::nullopt;
    ConnectionLock lock(db);
    Statement statement(db, kSaveMetadata);
    statement.bindText(1, snippetId.toString());
    statement.bindText(2, rawValue(metadata.syncStatus));
    statement.bindOptionalText(3, dateText(metadata.lastSyncedAt));
    statement.bindOptionalText(4, dateText(metadata.lastModifiedLocally));
    statement.bindOptionalInteger(5, metadata.serverVersion);
    const auto pending = metadata.pendingOperation;
    statement.bindOptionalText(6, pending ? std::optional(std::string(rawValue(*pending))) : std::nullopt);
    statement.bindOptionalText(7, conflict);
    statement.run();
}

void TeamSnippetCache::deleteSnippet(const platform::Uuid& id) { runWithId(connection(), kDeleteSnippet, id); }

void TeamSnippetCache::deleteAllSnippets(const platform::Uuid& teamId) {
    // Called after a team is left or deleted, possibly before anything else opened the database:
    // its snippets must not stay behind on disk for want of an open handle.
    open();
    // Before the rows: a timestamp kept without them would make the next pull skip them for good.
    if (timestamps_) timestamps_->forget(teamId);
    runWithId(connection(), kDeleteTeamSnippets, teamId);
}

void TeamSnippetCache::forgetSyncTimestamps() {
    if (timestamps_) timestamps_->forgetAll();
}

std::vector<SyncOperation> TeamSnippetCache::getPendingSyncOperations() {
    sqlite3* db = connection();
    ConnectionLock lock(db);
    Statement statement(db, kSelectOperations);
    std::vector<SyncOperation> operations;
    while (statement.step())
        if (auto operation = parseSyncOperationRow(statement)) operations.push_back(std::move(*operation));
    return operations;
}

void TeamSnippetCache::enqueueSyncOperation(const SyncOperation& operation) {
    sqlite3* db = connection();
    ConnectionLock lock(db);
    Statement statement(db, kEnqueueOperation);
    statement.bindText(1, operation.id.toString());
    statement.bindText(2, rawValue(operation.entityType));
    statement.bindText(3, operation.entityId.toString());
    statement.bindText(4, rawValue(operation.operation));
    // Bytes that are not UTF-8 are bound as NULL, which the NOT NULL column refuses.
    if (platform::utf8::isValid(operation.payload))
        statement.bindText(5, operation.payload);
    else
        statement.bindNull(5);
    statement.bindOptionalText(6, uuidText(operation.teamId));
    statement.bindText(7, operation.createdAt.iso8601());
    statement.bindInteger(8, operation.retryCount);
    statement.bindOptionalText(9, operation.lastError);
    statement.bindOptionalText(10, uuidText(operation.userId));
    statement.run();
}

void TeamSnippetCache::dequeueSyncOperation(const platform::Uuid& id) {
    runWithId(connection(), kDequeueOperation, id);
}

size_t TeamSnippetCache::removeOtherUsersData(const platform::Uuid& user, bool cachedSnippetsToo) {
    sqlite3* db = connection();
    Transaction transaction(db);
    size_t dropped = 0;
    {
        Statement statement(db, kDequeueOtherUsers);
        statement.bindText(1, user.toString());
        statement.run();
        dropped = static_cast<size_t>(sqlite3_changes(db));
    }
    if (cachedSnippetsToo) {
        platform::sqlite::execute<TeamSnippetCacheError>(db, kDeleteAllSnippets);
        platform::sqlite::execute<TeamSnippetCacheError>(db, kDeleteAllMetadata);
    }
    transaction.commit();
    return dropped;
}

void TeamSnippetCache::saveSnippetQueuingChange(const SnippetItem& snippet, const SyncMetadata& metadata,
                                                const SyncOperation& operation) {
    Transaction transaction(connection());
    saveSnippet(snippet, metadata);
    enqueueSyncOperation(operation);
    transaction.commit();
}

void TeamSnippetCache::deleteSnippetQueuingChange(const platform::Uuid& id, const SyncOperation& operation) {
    Transaction transaction(connection());
    enqueueSyncOperation(operation);
    deleteSnippet(id);
    transaction.commit();
}

void TeamSnippetCache::applyPull(const std::vector<SnippetItem>& snippets,
                                 const std::vector<platform::Uuid>& deletedIds, const platform::Clock& clock) {
    // One commit for the whole answer: a commit per row makes a large first pull take minutes.
    Transaction transaction(connection());
    try {
        for (const auto& snippet : snippets) saveSnippet(snippet, SyncMetadata::synced(snippet.version, clock));
        for (const auto& id : deletedIds) deleteSnippet(id);
    } catch (...) {
        transaction.commit();
        throw;
    }
    transaction.commit();
}

}  // namespace sablix
