#pragma once
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"
#include "Sync/SyncMetadata.h"
#include "Sync/SyncOperation.h"
#include "Sync/SyncTimestamps.h"
#include "Sync/TeamSnippetCacheError.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

struct sqlite3;

namespace sablix {

// The local SQLite database of team snippets: the snippets of every team, one sync metadata row
// per saved snippet, and the queue of local changes waiting to be pushed.
//
// Call open() before any other operation; until it has succeeded every operation throws
// databaseNotOpen. Only open() runs on the serial queue "com.sablix.snippetcache"; the other
// operations run on the calling thread, from any thread, serialised by SQLite's full-mutex
// connection. Failures throw TeamSnippetCacheError (filesystem errors from open() excepted).
class TeamSnippetCache {
public:
    // With timestamps, a team's sync timestamp goes with the team's rows, and every team's with
    // a damaged database (see open()), so that the next pull brings the rows back. Without, the
    // timestamps are left alone.
    explicit TeamSnippetCache(std::filesystem::path databasePath);
    TeamSnippetCache(std::filesystem::path databasePath, SyncTimestamps timestamps);
    ~TeamSnippetCache();
    TeamSnippetCache(const TeamSnippetCache&) = delete;
    TeamSnippetCache& operator=(const TeamSnippetCache&) = delete;

    // Where the application keeps it: "team_snippets.db" in the Application Support folder.
    static std::filesystem::path databaseURL();

    // Creates the folder, opens the file, creates the schema and checks that the file reads;
    // does nothing once open. A file SQLite finds damaged (not a database, or malformed) is moved
    // aside as "<name>.damaged-<time>", never deleted, and an empty database takes its place:
    // what the server holds comes back with the next pull; the local changes still queued stay
    // in the copy only. Any other failure leaves the database closed, so a later call tries again.
    void open();
    bool isOpen() const;
    const std::filesystem::path& databasePath() const { return databasePath_; }

    // The team's snippets in storage order; rows that cannot be read are left out.
    std::vector<SnippetItem> getSnippets(const platform::Uuid& teamId, bool includeDeleted);
    // Inserts or replaces the snippet row, then its metadata row.
    void saveSnippet(const SnippetItem& snippet, const SyncMetadata& metadata);
    void saveMetadata(const SyncMetadata& metadata, const platform::Uuid& snippetId);
    // Removes the snippet row (its metadata row stays); an unknown id is no error.
    void deleteSnippet(const platform::Uuid& id);
    // Removes every snippet row of the team, opening the database first when needed.
    void deleteAllSnippets(const platform::Uuid& teamId);
    // Every team's next pull brings all its snippets, whatever the database already holds.
    void forgetSyncTimestamps();

    // Every team's queued operations, oldest first (queueing order within one second).
    std::vector<SyncOperation> getPendingSyncOperations();
    // Queues the operation; an id already queued fails with executeFailed.
    void enqueueSyncOperation(const SyncOperation& operation);
    void dequeueSyncOperation(const platform::Uuid& id);
    // Another user signs in: removes the queued changes of everyone but this user (those of no
    // known user too) and, when the cached snippets are another user's, every team's snippets
    // and their metadata; in one transaction. Answers how many changes went. The caller forgets
    // the sync timestamps first.
    size_t removeOtherUsersData(const platform::Uuid& user, bool cachedSnippetsToo);

    // The snippet list's save: the snippet, its metadata and its queued change are written
    // together or not at all, so a change is never saved without being queued.
    void saveSnippetQueuingChange(const SnippetItem& snippet, const SyncMetadata& metadata,
                                  const SyncOperation& operation);
    // The snippet list's delete: the queued change and the removal of the row, together or not at all.
    void deleteSnippetQueuingChange(const platform::Uuid& id, const SyncOperation& operation);

    // Stores a pull in one transaction: each snippet with metadata synced at its version (dated
    // by clock), then removes each id. The first failure stops the walk; what was written before
    // it is committed and the failure is thrown.
    void applyPull(const std::vector<SnippetItem>& snippets, const std::vector<platform::Uuid>& deletedIds,
                   const platform::Clock& clock);

private:
    sqlite3* connection() const;  // the open handle, or throws databaseNotOpen
    // Moves the damaged file (and its journal) aside; throws the reason when it cannot.
    void makeDatabaseFilePrivate() const;
    void setAsideDamagedFile(const std::string& damage);

    std::filesystem::path databasePath_;
    std::optional<SyncTimestamps> timestamps_;
    platform::Log logger_ = platform::appLog("TeamSnippetCache");
    platform::DispatchQueue dbQueue_;
    std::atomic<sqlite3*> db_{nullptr};
};

}  // namespace sablix
