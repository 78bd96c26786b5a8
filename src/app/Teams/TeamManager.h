#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <QCoro/QCoroTask>
#include <nlohmann/json.hpp>

#include "Analytics/AnalyticsTracking.h"
#include "Accounts/AuthManager.h"
#include "Shell/DeepLinks/TeamManaging.h"
#include "Networking/APIClient.h"
#include "Networking/RequestStep.h"
#include "Sync/TeamSnippetCache.h"
#include "Teams/PendingInvitation.h"
#include "Teams/Team.h"
#include "Teams/TeamInvitation.h"
#include "Teams/TeamMember.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

// The client of the backend's team, member and invitation routes and the owner of the team state
// the windows show: the user's teams, the selected snippet source (one team, or the personal
// library when none is selected), that team's members and sent invitations, and the invitations
// addressed to the user. Lives on the main thread; operations may overlap and are neither merged
// nor cancelled.
//
// Answers are applied only while they still belong to what is shown: a members answer only while
// its team is still the selected one, and nothing of a session that ended (sign-out or expiry run
// clearAll()) comes back afterwards.
//
// Published to QML: teams, members, invitations and pendingInvitations as lists of maps with the
// records' JSON keys (dates as ISO 8601 text, ids as text; team and member maps add
// "roleDisplayName" and "canManageMembers"), currentTeam as such a map (empty when none),
// selectedTeamId as text (empty for the personal library; writable), isPersonalMode, isLoading
// and errorMessage (empty when none).
class TeamManager : public QObject, public TeamManaging {
    Q_OBJECT
    Q_PROPERTY(QVariantList teams READ teamsList NOTIFY teamsChanged)
    Q_PROPERTY(QVariantMap currentTeam READ currentTeamMap NOTIFY currentTeamChanged)
    Q_PROPERTY(QVariantList members READ membersList NOTIFY membersChanged)
    Q_PROPERTY(QVariantList invitations READ invitationsList NOTIFY invitationsChanged)
    Q_PROPERTY(QVariantList pendingInvitations READ pendingInvitationsList NOTIFY pendingInvitationsChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(QString selectedTeamId READ selectedTeamIdText WRITE setSelectedTeamIdText NOTIFY selectedTeamIdChanged)
    Q_PROPERTY(bool isPersonalMode READ isPersonalMode NOTIFY selectedTeamIdChanged)

public:
    static constexpr const char* kCreateTeamFailedMessage = "Failed to create team";
    static constexpr const char* kUpdateTeamFailedMessage = "Failed to update team";
    static constexpr const char* kInviteMemberFailedMessage = "Failed to invite member";
    static constexpr const char* kInvalidInvitationMessage = "Invalid invitation";

    // Signing out, or a session that expires, empties all team state (clearAll()).
    // requestTimeout bounds every backend request (tests shorten it).
    TeamManager(AuthManager& auth, APIClient& client, TeamSnippetCache& teamSnippets, AnalyticsTracking& analytics,
                std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout, QObject* parent = nullptr);

    // None of the operations throws: failures show in errorMessage and the log, as each says.

    // The user's teams, then the invitations addressed to the user. Nothing while signed out.
    QCoro::Task<> fetchTeams() override;
    QCoro::Task<> fetchPendingInvitations();
    // The team's members and sent invitations, applied only while the team is selected.
    QCoro::Task<> fetchMembers(platform::Uuid teamId);
    // The new team, appended to teams but not selected; none on any failure.
    QCoro::Task<std::optional<Team>> createTeam(std::string name, std::optional<std::string> description = std::nullopt,
                                                std::optional<std::string> iconEmoji = std::nullopt);
    // Sends only the fields given; reloads the teams after success.
    QCoro::Task<> updateTeam(platform::Uuid teamId, std::optional<std::string> name = std::nullopt,
                             std::optional<std::string> description = std::nullopt,
                             std::optional<std::string> iconEmoji = std::nullopt,
                             std::optional<std::string> defaultPermission = std::nullopt,
                             std::optional<bool> allowMemberInvites = std::nullopt);
    // After the backend's yes: the team's cached snippets go, and the team, and its selection.
    QCoro::Task<> deleteTeam(platform::Uuid teamId);
    // True when the backend accepted; the teams are then reloaded. A token that names no path
    // segment ("", ".", "..") is refused without a request.
    QCoro::Task<bool> acceptInvitation(std::string token) override;
    // Back to the initial state, isLoading excepted; the personal library is selected.
    void clearAll();

    // The invitation, appended to invitations while its team is selected; none on any failure.
    QCoro::Task<std::optional<TeamInvitation>> inviteMember(platform::Uuid teamId, std::string email, std::string role);
    // A user id that is not a UUID sends nothing. Both reload the members after success, a
    // removal the teams too.
    QCoro::Task<> updateMemberRole(platform::Uuid teamId, std::string userId, std::string role);
    QCoro::Task<> removeMember(platform::Uuid teamId, std::string userId);
    // Removes the signed-in user from the team, then drops the team locally whatever the
    // backend answered (its cached snippets included). Nothing while signed out.
    QCoro::Task<> leaveTeam(platform::Uuid teamId);

    const std::vector<Team>& teams() const { return teams_; }
    const std::optional<Team>& currentTeam() const { return currentTeam_; }
    const std::vector<TeamMember>& members() const { return members_; }
    const std::vector<TeamInvitation>& invitations() const { return invitations_; }
    const std::vector<PendingInvitation>& pendingInvitations() const { return pendingInvitations_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    const std::optional<platform::Uuid>& selectedTeamId() const { return selectedTeamId_; }
    bool isPersonalMode() const { return !selectedTeamId_; }

    // Every assignment, of the same team too, looks the team up again and reloads its members.
    void setSelectedTeamId(std::optional<platform::Uuid> teamId);
    // The team selector declines an invitation by dropping it here; the backend is not told.
    void setPendingInvitations(std::vector<PendingInvitation> invitations);

    QVariantList teamsList() const;
    QVariantMap currentTeamMap() const;
    QVariantList membersList() const;
    QVariantList invitationsList() const;
    QVariantList pendingInvitationsList() const;
    QString errorMessageText() const { return QString::fromStdString(errorMessage_.value_or("")); }
    QString selectedTeamIdText() const;
    // Empty text selects the personal library; text that is no UUID is refused and logged.
    void setSelectedTeamIdText(const QString& teamId);

signals:
    void teamsChanged();
    void currentTeamChanged();
    void membersChanged();
    void invitationsChanged();
    void pendingInvitationsChanged();
    void isLoadingChanged();
    void errorMessageChanged();
    void selectedTeamIdChanged();

private:
    // A request with the time-out of every team request; the request step adds the bearer token.
    APIRequest request(std::string method, std::optional<nlohmann::json> body = std::nullopt) const {
        return APIRequest(std::move(method), std::move(body), std::nullopt, requestTimeout_);
    }
    void runSelectionHandler();
    // Drops the team here after it is gone on the backend or left.
    void removeTeamLocally(const platform::Uuid& teamId);
    void clearTeamCache(const platform::Uuid& teamId);
    std::optional<Team> findTeam(const platform::Uuid& teamId) const;

    // Stores the value and, when it differs from the one held, emits the property's signal.
    template <typename T>
    void publish(T& held, T value, void (TeamManager::*changed)()) {
        if (held == value) return;
        held = std::move(value);
        emit(this->*changed)();
    }
    void setTeams(std::vector<Team> teams);
    void setCurrentTeam(std::optional<Team> team);
    void setMembers(std::vector<TeamMember> members);
    void setInvitations(std::vector<TeamInvitation> invitations);
    void setLoading(bool value);
    void setErrorMessage(std::optional<std::string> message);

    AuthManager& auth_;
    APIClient& client_;
    TeamSnippetCache& teamSnippets_;
    AnalyticsTracking& analytics_;
    const std::chrono::milliseconds requestTimeout_;
    RequestStep requests_;

    std::vector<Team> teams_;
    std::optional<Team> currentTeam_;
    std::vector<TeamMember> members_;
    std::vector<TeamInvitation> invitations_;
    std::vector<PendingInvitation> pendingInvitations_;
    bool isLoading_ = false;
    std::optional<std::string> errorMessage_;
    std::optional<platform::Uuid> selectedTeamId_;
    // Raised by clearAll(): an answer to a request of an earlier session is not applied.
    uint64_t session_ = 0;
    platform::Log logger_ = platform::appLog("TeamManager");
};

}  // namespace sablix
