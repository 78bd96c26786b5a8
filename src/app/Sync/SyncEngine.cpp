#include "Sync/SyncEngine.h"

namespace sablix {

SyncEngine::SyncEngine(SyncService& syncService, const NetworkMonitor& network,
                       std::function<std::optional<platform::Uuid>()> selectedTeamId, QObject* parent)
    : QObject(parent), syncService_(syncService), network_(network), selectedTeamId_(std::move(selectedTeamId)) {
    // The flag is read from the monitor itself rather than from the signal.
    connect(&network_, &NetworkMonitor::networkConnectivityChanged, this, [this] { handleNetworkChange(); });
}

void SyncEngine::handleNetworkChange() {
    if (!network_.isConnected()) {
        if (state_.kind == EngineState::Kind::running) pause();
        return;
    }
    if (state_.kind != EngineState::Kind::paused) return;
    if (const auto team = selectedTeamId_ ? selectedTeamId_() : std::nullopt) resume(*team);
}

void SyncEngine::pause() {
    if (state_.kind != EngineState::Kind::running) return;
    syncService_.stopSync();
    setState({EngineState::Kind::paused, {}, 0});
    logger_.info("Sync engine paused");
}

void SyncEngine::resume(const platform::Uuid& teamId) {
    if (state_.kind != EngineState::Kind::paused) return;
    syncService_.startSync(teamId);
    setState({EngineState::Kind::running, {}, 0});
    logger_.info("Sync engine resumed");
}

void SyncEngine::stop() {
    syncService_.stopSync();
    setState({EngineState::Kind::stopped, {}, 0});
    logger_.info("Sync engine stopped");
}

void SyncEngine::setState(EngineState state) {
    if (state == state_) return;
    state_ = std::move(state);
    emit stateChanged();
}

}  // namespace sablix
