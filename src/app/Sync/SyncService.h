#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>
#include <QTimer>
#include <QCoro/QCoroTask>

#include "Shell/Network/NetworkMonitor.h"
#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "Snippets/SnippetItem.h"
#include "Sync/PendingOperation.h"
#include "Sync/SyncTimestamps.h"
#include "Sync/TeamSnippetCache.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

// Keeps the selected team's snippets in step with the backend: queues local changes of team
// snippets, and runs sync cycles (push the team's queued changes, then pull its changes) when
// periodic sync starts, on a repeating timer and shortly after each queued change.
//
// A change belongs to the user signed in when it was queued and is pushed only with that user's
// bearer; a push or pull that finds another user signed in by the time its token or answer is in
// is dropped.
//
// Lives on the main thread. One cycle runs at a time per team: a cycle asked for while one runs
// is folded into a single rerun after it. Failures are logged and show only in syncState.
class SyncService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString syncState READ syncStateName NOTIFY syncStateChanged)
    Q_PROPERTY(int pendingOperationCount READ pendingOperationCount NOTIFY pendingOperationCountChanged)
    Q_PROPERTY(int pullVersion READ pullVersion NOTIFY pullVersionChanged)

public:
    static constexpr const char* kSyncFailedMessage = "Sync failed";

    struct SyncState {
        enum class Kind { idle, syncing, synced, offline, error };
        Kind kind = Kind::idle;
        std::string message;  // the error's text; empty otherwise

        static SyncState error(std::string message) { return {Kind::error, std::move(message)}; }
        friend bool operator==(const SyncState&, const SyncState&) = default;
    };

    // A bearer token valid for the next request; throws when none can be had.
    using AccessTokenSource = std::function<QCoro::Task<std::string>()>;
    // The signed-in user, whose bearer the token source hands out; none while signed out.
    using SignedInUser = std::function<std::optional<platform::Uuid>()>;

    struct Collaborators {
        TeamSnippetCache& cache;
        APIClient& client;  // its environment gives the intervals and the backend address
        AccessTokenSource accessToken;
        const NetworkMonitor& network;
        platform::Defaults& defaults;  // the per-team "since" timestamps
        const platform::Clock& clock;
        std::function<void()> refreshSnippetCache;  // rebuilds the keystroke engine's triggers
        // A change is queued as this user's, and only this user's changes are pushed.
        SignedInUser signedInUser;
    };

    explicit SyncService(Collaborators collaborators, QObject* parent = nullptr);
    ~SyncService() override;

    // The team's snippets that are not marked deleted; empty (and logged) when they cannot be read.
    std::vector<SnippetItem> getTeamSnippets(const platform::Uuid& teamId);

    // Queues one change of a snippet the caller has already written; a team snippet's change
    // schedules a debounced cycle. Failures are logged.
    void queueChange(const SnippetItem& snippet, PendingOperation operation);

    // The snippet list's save or delete of a team snippet: a create or update saves the snippet
    // (as a new local one) and queues its change in one transaction; a delete queues the change
    // and removes the row in one transaction. False (and logged) when nothing was written.
    bool saveAndQueueChange(const SnippetItem& snippet, PendingOperation operation);

    // Runs a cycle for the team now and then every polling interval; replaces any earlier team.
    void startSync(const platform::Uuid& teamId);
    // Stops the periodic cycles and drops a pending debounced one; cycles under way finish.
    void stopSync();

    const SyncState& syncState() const { return syncState_; }
    const std::optional<platform::Date>& lastSyncedAt() const { return lastSyncedAt_; }
    int pendingOperationCount() const { return pendingOperationCount_; }
    int pullVersion() const { return pullVersion_; }
    QString syncStateName() const;

    // One cycle for the team, followed by the rerun asked for meanwhile, if any. While a cycle
    // for the team runs, it only asks for that rerun and ends at once.
    QCoro::Task<> performSync(platform::Uuid teamId);

signals:
    void syncStateChanged();
    void lastSyncedAtChanged();
    void pendingOperationCountChanged();
    void pullVersionChanged();

private:
    struct TeamCycles {
        bool running = false;
        bool rerunQueued = false;
    };

    QCoro::Task<> runCycle(platform::Uuid teamId);
    QCoro::Task<bool> pushChanges(platform::Uuid teamId);
    QCoro::Task<std::optional<std::vector<SnippetItem>>> pullSnippets(platform::Uuid teamId);
    void syncAfterChange(const platform::Uuid& teamId);
    std::optional<platform::Date> getLastSyncTimestamp(const platform::Uuid& teamId) const;
    void saveLastSyncTimestamp(const platform::Uuid& teamId, const platform::Date& timestamp);
    // The signed-in user's queued changes of the team, oldest first.
    std::vector<SyncOperation> queuedChanges(const platform::Uuid& teamId);
    std::optional<platform::Uuid> signedInUser() const;

    void setSyncState(SyncState state);
    void setPendingOperationCount(int count);

    Collaborators c_;
    SyncTimestamps timestamps_{c_.defaults};
    RequestStep requests_{c_.client, c_.accessToken, this};
    platform::Log logger_ = platform::appLog("SyncService");
    SyncState syncState_;
    std::optional<platform::Date> lastSyncedAt_;
    int pendingOperationCount_ = 0;
    int pullVersion_ = 0;
    QTimer syncTimer_;
    std::optional<platform::Uuid> timerTeam_;
    QTimer debounceTimer_;
    std::optional<platform::Uuid> debounceTeam_;
    std::map<platform::Uuid, TeamCycles> cycles_;
};

}  // namespace sablix
