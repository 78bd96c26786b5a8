#include "Sync/SyncService.h"

#include <chrono>
#include <exception>
#include <stdexcept>

#include <QPointer>
#include <QUrl>

#include "Sync/SyncOperation.h"
#include "Sync/SyncProtocol.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

std::chrono::milliseconds milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0));
}

constexpr const char* kAnotherUserMessage = "another user is signed in now";

// A pull has no pages: a team's first one carries every snippet. 10,000 snippets whose content
// is each at the length the editor warns about (10,000 characters) come to about 100 MiB; with
// typical content (a few hundred characters) to about 6 MiB.
constexpr qint64 kPullAnswerLimit = 128 * 1024 * 1024;

// The bearer of the user whose changes are about to go; none when someone else holds the session
// by the time the token is in (a refresh may wait on the network while the account changes).
QCoro::Task<std::string> bearerOf(SyncService::AccessTokenSource source, SyncService::SignedInUser signedInUser,
                                  platform::Uuid user) {
    std::string token = co_await source();
    if (signedInUser() != user) throw std::runtime_error(kAnotherUserMessage);
    co_return token;
}

}  // namespace

SyncService::SyncService(Collaborators collaborators, QObject* parent) : QObject(parent), c_(std::move(collaborators)) {
    const AppEnvironment& environment = c_.client.environment();
    syncTimer_.setInterval(milliseconds(environment.syncPollingInterval()));
    connect(&syncTimer_, &QTimer::timeout, this, [this] {
        if (timerTeam_) performSync(*timerTeam_);
    });
    debounceTimer_.setSingleShot(true);
    debounceTimer_.setInterval(milliseconds(environment.syncDebounceInterval()));
    connect(&debounceTimer_, &QTimer::timeout, this, [this] {
        if (debounceTeam_) performSync(*debounceTeam_);
    });
}

SyncService::~SyncService() = default;

std::vector<SnippetItem> SyncService::getTeamSnippets(const platform::Uuid& teamId) {
    try {
        c_.cache.open();
        return c_.cache.getSnippets(teamId, false);
    } catch (const std::exception& error) {
        logger_.error("Error loading team snippets: %s", posix::escapedForLog(error.what()).c_str());
        return {};
    }
}

void SyncService::queueChange(const SnippetItem& snippet, PendingOperation operation) {
    try {
        c_.cache.open();
        // A snippet whose text is not UTF-8 cannot be written as JSON: it costs only this change.
        SyncOperation change = SyncOperation::forSnippet(snippet, operation, c_.clock);
        change.userId = signedInUser();
        c_.cache.enqueueSyncOperation(change);
    } catch (const std::exception& error) {
        logger_.error("Error queuing change: %s", posix::escapedForLog(error.what()).c_str());
        return;
    }
    setPendingOperationCount(pendingOperationCount_ + 1);
    if (snippet.teamId) syncAfterChange(*snippet.teamId);
}

bool SyncService::saveAndQueueChange(const SnippetItem& snippet, PendingOperation operation) {
    try {
        c_.cache.open();
        SyncOperation change = SyncOperation::forSnippet(snippet, operation, c_.clock);
        change.userId = signedInUser();
        if (operation == PendingOperation::remove)
            c_.cache.deleteSnippetQueuingChange(snippet.id, change);
        else
            c_.cache.saveSnippetQueuingChange(snippet, SyncMetadata::newLocal(c_.clock), change);
    } catch (const std::exception& error) {
        logger_.error("Error queuing change: %s", posix::escapedForLog(error.what()).c_str());
        return false;
    }
    setPendingOperationCount(pendingOperationCount_ + 1);
    if (snippet.teamId) syncAfterChange(*snippet.teamId);
    return true;
}

void SyncService::startSync(const platform::Uuid& teamId) {
    stopSync();
    performSync(teamId);
    timerTeam_ = teamId;
    syncTimer_.start();
}

void SyncService::stopSync() {
    syncTimer_.stop();
    timerTeam_.reset();
    debounceTimer_.stop();
    debounceTeam_.reset();
}

void SyncService::syncAfterChange(const platform::Uuid& teamId) {
    // A burst of changes gives one cycle, one interval after the last of them.
    debounceTeam_ = teamId;
    debounceTimer_.start();
}

QString SyncService::syncStateName() const {
    switch (syncState_.kind) {
    case SyncState::Kind::idle: return QStringLiteral("idle");
    case SyncState::Kind::syncing: return QStringLiteral("syncing");
    case SyncState::Kind::synced: return QStringLiteral("synced");
    case SyncState::Kind::offline: return QStringLiteral("offline");
    case SyncState::Kind::error: return QStringLiteral("error");
    }
    return {};
}

QCoro::Task<> SyncService::performSync(platform::Uuid teamId) {
    // Overlapping cycles would read the same queue and push its operations twice.
    TeamCycles& cycles = cycles_[teamId];
    if (cycles.running) {
        cycles.rerunQueued = true;
        co_return;
    }
    cycles.running = true;
    QPointer<SyncService> self(this);
    do {
        cycles_[teamId].rerunQueued = false;
        co_await runCycle(teamId);
        if (!self) co_return;
    } while (cycles_[teamId].rerunQueued);
    cycles_[teamId].running = false;
}

QCoro::Task<> SyncService::runCycle(platform::Uuid teamId) {
    if (!c_.network.isConnected()) {
        setSyncState({SyncState::Kind::offline, {}});
        co_return;
    }
    setSyncState({SyncState::Kind::syncing, {}});
    QPointer<SyncService> self(this);
    const bool pushed = co_await pushChanges(teamId);
    if (!self) co_return;
    const auto pulled = co_await pullSnippets(teamId);
    if (!self) co_return;

    if (pushed && pulled) {
        setSyncState({SyncState::Kind::synced, {}});
        lastSyncedAt_ = c_.clock.now();
        emit lastSyncedAtChanged();
        ++pullVersion_;
        emit pullVersionChanged();
        if (c_.refreshSnippetCache) c_.refreshSnippetCache();
    } else {
        setSyncState(c_.network.isConnected() ? SyncState::error(kSyncFailedMessage)
                                              : SyncState{SyncState::Kind::offline, {}});
    }
}

QCoro::Task<bool> SyncService::pushChanges(platform::Uuid teamId) {
    QPointer<SyncService> self(this);
    const auto user = signedInUser();
    std::vector<SyncOperation> operations;
    APIRequest request;
    try {
        c_.cache.open();
        if (user) operations = queuedChanges(teamId);
        if (operations.empty()) {
            logger_.debug("No pending operations to push");
            co_return true;
        }
        request =
            APIRequest("POST", syncwire::pushBody(teamId, operations, c_.clock), std::nullopt, kDefaultRequestTimeout);
    } catch (const std::exception& error) {
        logger_.error("Push error: %s", posix::escapedForLog(error.what()).c_str());
        co_return false;
    }
    // The changes read above are this user's: the bearer must be too.
    const RequestStep push(
        c_.client,
        [source = c_.accessToken, users = c_.signedInUser, user = *user] { return bearerOf(source, users, user); },
        this);
    const auto decoded = co_await push.send(APIEndpoint::syncPush(), std::move(request), AcceptedStatus::exactly(200),
                                            [](const APIResponse& response) {
                                                const auto answer = response.json();
                                                if (!answer) throw SnippetCodingError("the push answer is not JSON");
                                                return syncwire::PushResponse::fromJson(*answer);
                                            });
    if (!self) co_return false;
    if (!decoded) {
        // No answer at all (refused, cut off, timed out) is the loader's error, not a status.
        if (decoded.error().kind == RequestError::Kind::status)
            logger_.error("Push failed: %ld", static_cast<long>(decoded.error().status));
        else
            logger_.error("Push error: %s", posix::escapedForLog(decoded.error().message).c_str());
        co_return false;
    }
    try {
        long succeeded = 0;
        for (const auto& result : decoded.value().results) {
            if (result.status != "success") continue;
            ++succeeded;
            if (const auto id = platform::Uuid::fromString(result.operationId)) c_.cache.dequeueSyncOperation(*id);
        }
        setPendingOperationCount(static_cast<int>(queuedChanges(teamId).size()));
        logger_.info("Pushed %ld operations, %ld succeeded", static_cast<long>(operations.size()), succeeded);
        co_return true;
    } catch (const std::exception& error) {
        logger_.error("Push error: %s", posix::escapedForLog(error.what()).c_str());
    }
    co_return false;
}

QCoro::Task<std::optional<std::vector<SnippetItem>>> SyncService::pullSnippets(platform::Uuid teamId) {
    QPointer<SyncService> self(this);
    const auto user = signedInUser();
    const QUrl url(c_.client.environment().url(APIEndpoint::syncPull()).toString() +
                   QString::fromStdString(syncwire::pullQuery(teamId, getLastSyncTimestamp(teamId))));
    // The decoder runs only while this service still exists.
    auto decoded = co_await requests_.send(
        url, APIRequest("GET", std::nullopt, std::nullopt, kDefaultRequestTimeout, kPullAnswerLimit),
        AcceptedStatus::exactly(200), [this](const APIResponse& response) {
            const auto answer = response.json();
            if (!answer) throw SnippetCodingError("the pull answer is not JSON");
            return syncwire::PullResponse::fromJson(*answer, c_.clock.now());
        });
    if (!self) co_return std::nullopt;
    // An answer for an account that is gone must not land in the next account's team data.
    if (decoded && signedInUser() != user) {
        logger_.error("Pull answer dropped: %s", kAnotherUserMessage);
        co_return std::nullopt;
    }
    if (!decoded) {
        if (decoded.error().kind == RequestError::Kind::status)
            logger_.error("Pull failed: %ld", static_cast<long>(decoded.error().status));
        else
            logger_.error("Pull error: %s", posix::escapedForLog(decoded.error().message).c_str());
        co_return std::nullopt;
    }
    try {
        auto& pull = decoded.value();
        std::vector<platform::Uuid> deletions;
        for (const auto& id : pull.deletedIds)
            if (const auto uuid = platform::Uuid::fromString(id)) deletions.push_back(*uuid);
        c_.cache.open();
        c_.cache.applyPull(pull.snippets, deletions, c_.clock);
        if (const auto timestamp = syncwire::parseServerDate(pull.serverTimestamp))
            saveLastSyncTimestamp(teamId, *timestamp);
        logger_.info("Pulled %ld snippets, %ld deletions", static_cast<long>(pull.snippets.size()),
                     static_cast<long>(pull.deletedIds.size()));
        co_return std::move(pull.snippets);
    } catch (const std::exception& error) {
        logger_.error("Pull error: %s", posix::escapedForLog(error.what()).c_str());
    }
    co_return std::nullopt;
}

std::optional<platform::Date> SyncService::getLastSyncTimestamp(const platform::Uuid& teamId) const {
    return timestamps_.last(teamId);
}

void SyncService::saveLastSyncTimestamp(const platform::Uuid& teamId, const platform::Date& timestamp) {
    timestamps_.save(teamId, timestamp);
}

std::vector<SyncOperation> SyncService::queuedChanges(const platform::Uuid& teamId) {
    const auto user = signedInUser();
    std::vector<SyncOperation> changes;
    if (!user) return changes;
    for (auto& operation : c_.cache.getPendingSyncOperations())
        if (operation.teamId == teamId && operation.userId == user) changes.push_back(std::move(operation));
    return changes;
}

std::optional<platform::Uuid> SyncService::signedInUser() const {
    return c_.signedInUser ? c_.signedInUser() : std::nullopt;
}

void SyncService::setSyncState(SyncState state) {
    if (state == syncState_) return;
    syncState_ = std::move(state);
    emit syncStateChanged();
}

void SyncService::setPendingOperationCount(int count) {
    if (count == pendingOperationCount_) return;
    pendingOperationCount_ = count;
    emit pendingOperationCountChanged();
}

}  // namespace sablix
