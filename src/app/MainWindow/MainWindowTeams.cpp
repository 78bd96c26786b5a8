#include "MainWindow/MainWindowTeams.h"

#include "Accounts/AuthManager.h"
#include "MainWindow/MainWindowState.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/TagSidebarModel.h"
#include "Sync/SyncService.h"
#include "Teams/TeamManager.h"

namespace sablix {

MainWindowTeams::MainWindowTeams(Collaborators collaborators, QObject* parent)
    : QObject(parent), c_(std::move(collaborators)) {
    connect(&c_.teamManager, &TeamManager::selectedTeamIdChanged, this, &MainWindowTeams::selectedTeamChanged);
    connect(&c_.teamManager, &TeamManager::selectedTeamIdChanged, this, &MainWindowTeams::canShowTeamSettingsChanged);
    connect(&c_.teamManager, &TeamManager::teamsChanged, this, &MainWindowTeams::canShowTeamSettingsChanged);
    connect(&c_.authManager, &AuthManager::isAuthenticatedChanged, this, [this] {
        if (c_.authManager.isAuthenticated()) c_.teamManager.fetchTeams();
    });
    connect(&c_.syncService, &SyncService::pullVersionChanged, this, [this] {
        if (c_.middlePanelModel.isTeamMode()) c_.middlePanelModel.reloadCurrentSource();
    });
}

bool MainWindowTeams::canShowTeamSettings() const {
    const auto& selected = c_.teamManager.selectedTeamId();
    if (!selected) return false;
    for (const Team& team : c_.teamManager.teams())
        if (team.id == *selected) return canManageMembers(team.role);
    return false;
}

void MainWindowTeams::contentShown() { c_.teamManager.fetchTeams(); }

void MainWindowTeams::selectedTeamChanged() {
    const std::optional<platform::Uuid> teamId = c_.teamManager.selectedTeamId();
    c_.windowState.clearSelection();
    c_.tagSidebarModel.setSelectedTag(QString());
    c_.middlePanelModel.switchSource(teamId);
    // The engine only stores the team; without the rebuild the previous team's triggers would
    // go on expanding.
    if (c_.engine.setActiveTeamId) c_.engine.setActiveTeamId(teamId);
    if (c_.engine.refreshSnippetCache) c_.engine.refreshSnippetCache();
    if (teamId)
        c_.syncService.startSync(*teamId);
    else
        c_.syncService.stopSync();
}

}  // namespace sablix
