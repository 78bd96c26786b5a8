#include "Teams/Views/TeamSelectorPresenter.h"

#include <QCoro/QCoroTask>

#include "Accounts/AuthManager.h"
#include "Sync/SyncService.h"
#include "Teams/TeamManager.h"

namespace sablix {

TeamSelectorPresenter::TeamSelectorPresenter(TeamManager& teamManager, AuthManager& authManager,
                                             SyncService& syncService, const MainWindowTeams& windowTeams,
                                             QObject* parent)
    : QObject(parent),
      teamManager_(teamManager),
      authManager_(authManager),
      syncService_(syncService),
      windowTeams_(windowTeams) {
    for (auto signal : {&TeamManager::teamsChanged, &TeamManager::pendingInvitationsChanged,
                        &TeamManager::currentTeamChanged, &TeamManager::selectedTeamIdChanged})
        connect(&teamManager_, signal, this, &TeamSelectorPresenter::changed);
    connect(&authManager_, &AuthManager::isAuthenticatedChanged, this, &TeamSelectorPresenter::changed);
    connect(&windowTeams_, &MainWindowTeams::canShowTeamSettingsChanged, this, &TeamSelectorPresenter::changed);
    connect(&syncService_, &SyncService::syncStateChanged, this, &TeamSelectorPresenter::syncStateChanged);
}

bool TeamSelectorPresenter::shouldShow() const {
    return authManager_.isAuthenticated() &&
           (!teamManager_.teams().empty() || !teamManager_.pendingInvitations().empty());
}

bool TeamSelectorPresenter::ownsATeam() const {
    for (const Team& team : teamManager_.teams())
        if (team.role == TeamRole::owner) return true;
    return false;
}

bool TeamSelectorPresenter::isPersonalMode() const { return teamManager_.isPersonalMode(); }

bool TeamSelectorPresenter::hasPendingInvitations() const { return !teamManager_.pendingInvitations().empty(); }

QString TeamSelectorPresenter::sourceName() const {
    const auto& team = teamManager_.currentTeam();
    return team ? QString::fromStdString(team->name) : QString(kPersonalSnippets);
}

QVariantList TeamSelectorPresenter::teams() const {
    QVariantList list;
    for (const Team& team : teamManager_.teams())
        list.append(QVariantMap{{"id", QString::fromStdString(team.id.toString())},
                                {"name", QString::fromStdString(team.name)},
                                {"selected", teamManager_.selectedTeamId() == team.id}});
    return list;
}

QVariantList TeamSelectorPresenter::invitations() const {
    QVariantList list;
    for (const PendingInvitation& invitation : teamManager_.pendingInvitations())
        list.append(QVariantMap{{"id", QString::fromStdString(invitation.id)},
                                {"token", QString::fromStdString(invitation.token)},
                                {"title", QString::fromStdString(invitation.teamName + " (" + invitation.role + ")")}});
    return list;
}

QString TeamSelectorPresenter::syncState() const { return syncService_.syncStateName(); }

void TeamSelectorPresenter::selectPersonal() { teamManager_.setSelectedTeamId(std::nullopt); }

void TeamSelectorPresenter::selectTeam(const QString& teamId) { teamManager_.setSelectedTeamIdText(teamId); }

void TeamSelectorPresenter::accept(const QString& token) { teamManager_.acceptInvitation(token.toStdString()); }

void TeamSelectorPresenter::decline(const QString& invitationId) {
    std::vector<PendingInvitation> kept = teamManager_.pendingInvitations();
    std::erase_if(kept,
                  [&](const PendingInvitation& invitation) { return invitation.id == invitationId.toStdString(); });
    teamManager_.setPendingInvitations(std::move(kept));
}

void TeamSelectorPresenter::createTeam(const QString& name) {
    // The team service outlives the window, so the task may finish after the selector is gone.
    [](TeamManager& teams, std::string name) -> QCoro::Task<> {
        const std::optional<Team> team = co_await teams.createTeam(std::move(name));
        if (team) teams.setSelectedTeamId(team->id);
    }(teamManager_, name.toStdString());
}

}  // namespace sablix
