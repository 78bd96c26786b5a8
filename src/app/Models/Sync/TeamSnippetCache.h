#pragma once
#include <atomic>
#include <filesystem>
#include <vector>

#include "Models/Snippets/SnippetItem.h"
#include "Models/Sync/SyncMetadata.h"
#include "Models/Sync/SyncOperation.h"
#include "Models/Sync/TeamSnippetCacheError.h"
#include "platform/DispatchQueue.h"
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
    explicit TeamSnippetCache(std::filesystem::path databasePath);
    ~TeamSnippetCache();
    TeamSnippetCache(const TeamSnippetCache&) = delete;
    TeamSnippetCache& operator=(const TeamSnippetCache&) = delete;

    // Where the application keeps it: "team_snippets.db" in the Application Support folder.
    static std::filesystem::path databaseURL();

    // Creates the folder, opens the file and creates the schema; does nothing once open. A
    // failure leaves the database closed, so a later call tries again.
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

    // Every team's queued operations, oldest first (queueing order within one second).
    std::vector<SyncOperation> getPendingSyncOperations();
    // Queues the operation; an id already queued fails with executeFailed.
    void enqueueSyncOperation(const SyncOperation& operation);
    void dequeueSyncOperation(const platform::Uuid& id);

private:
    sqlite3* connection() const;  // the open handle, or throws databaseNotOpen
    void createTables(sqlite3* db);

    std::filesystem::path databasePath_;
    platform::DispatchQueue dbQueue_;
    std::atomic<sqlite3*> db_{nullptr};
};

}  // namespace sablix
