#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "Shell/Network/NetworkMonitor.h"
#include "Sync/ConflictData.h"
#include "Sync/SyncService.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

// A small state machine over the sync service: while running it pauses periodic sync when the
// machine goes offline, and while paused it resumes it for the selected team when the network
// returns. Nothing sets it running; at quit the shell calls stop(), which stops the service's
// timer and pending debounced cycle. Lives on the main thread.
class SyncEngine : public QObject {
    Q_OBJECT

public:
    struct EngineState {
        enum class Kind { idle, starting, running, paused, stopped, error, retrying };
        Kind kind = Kind::idle;
        std::string message;  // error's text
        int attempt = 0;      // retrying's attempt

        friend bool operator==(const EngineState&, const EngineState&) = default;
    };

    static constexpr int kMaxRetries = 5;
    static constexpr double kBaseRetryDelay = 2.0;  // seconds

    // selectedTeamId gives the team whose snippets the user has selected, if any.
    SyncEngine(SyncService& syncService, const NetworkMonitor& network,
               std::function<std::optional<platform::Uuid>()> selectedTeamId, QObject* parent = nullptr);

    const EngineState& state() const { return state_; }
    const std::vector<ConflictData>& conflicts() const { return conflicts_; }

    void handleNetworkChange();
    void pause();
    void resume(const platform::Uuid& teamId);
    void stop();

signals:
    void stateChanged();

private:
    void setState(EngineState state);

    SyncService& syncService_;
    const NetworkMonitor& network_;
    std::function<std::optional<platform::Uuid>()> selectedTeamId_;
    platform::Log logger_ = platform::appLog("SyncEngine");
    EngineState state_;
    std::vector<ConflictData> conflicts_;
};

// Holds what a conflict resolution would need; no conflict is detected or resolved yet.
class ConflictResolver {
public:
    explicit ConflictResolver(TeamSnippetCache& cache) : cache_(cache) {}

private:
    [[maybe_unused]] TeamSnippetCache& cache_;
    platform::Log logger_ = platform::appLog("ConflictResolver");
};

}  // namespace sablix
