#include "Teams/TeamManager.h"

#include <algorithm>
#include <utility>

#include <QPointer>

#include "Teams/TeamCoding.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

using nlohmann::json;

constexpr const char* kEncodingFailedMessage = "The request could not be encoded";

// The answer's body as JSON; throws TeamCodingError otherwise.
json bodyJson(const APIResponse& response, const char* record) {
    auto body = response.json();
    if (!body) throw TeamCodingError(std::string("the ") + record + " answer is not JSON");
    return std::move(*body);
}

// The answer's body as a JSON object; throws TeamCodingError otherwise.
json bodyObject(const APIResponse& response, const char* record) {
    json body = bodyJson(response, record);
    teamCoding::requireObject(body, record);
    return body;
}

// Why a request came to nothing, to show and log; none for an answer of another status, which
// each operation words itself.
std::optional<std::string> failureText(const RequestError& error) {
    switch (error.kind) {
    case RequestError::Kind::status: return std::nullopt;
    case RequestError::Kind::unencoded: return kEncodingFailedMessage;
    default: return error.message;
    }
}

// The same for a request whose answer is not decoded; none as well when it succeeded.
std::optional<std::string> failureText(const RequestResult<APIResponse>& result) {
    if (result) return std::nullopt;
    return failureText(result.error());
}

// An invitation token names one path segment; these name none, even encoded.
bool namesAnInvitation(const std::string& token) { return !token.empty() && token != "." && token != ".."; }

QVariant optionalText(const std::optional<std::string>& text) {
    return text ? QVariant(QString::fromStdString(*text)) : QVariant();
}

QString text(std::string_view value) { return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())); }

QVariantMap toVariant(const Team& team) {
    return {{"id", text(team.id.toString())},
            {"name", text(team.name)},
            {"description", optionalText(team.description)},
            {"iconEmoji", optionalText(team.iconEmoji)},
            {"createdAt", text(team.createdAt.iso8601())},
            {"defaultPermission", text(team.defaultPermission)},
            {"allowMemberInvites", team.allowMemberInvites},
            {"seatsPurchased", static_cast<qlonglong>(team.seatsPurchased)},
            {"seatsUsed", static_cast<qlonglong>(team.seatsUsed)},
            {"planTier", optionalText(team.planTier)},
            {"subscriptionStatus", text(rawValue(team.subscriptionStatus))},
            {"role", text(rawValue(team.role))},
            {"roleDisplayName", text(displayName(team.role))},
            {"canManageMembers", canManageMembers(team.role)}};
}

QVariantMap toVariant(const TeamMember& member) {
    return {{"id", text(member.id)},
            {"userId", text(member.userId)},
            {"email", text(member.email)},
            {"displayName", text(member.displayName)},
            {"avatarUrl", optionalText(member.avatarUrl)},
            {"role", text(rawValue(member.role))},
            {"roleDisplayName", text(displayName(member.role))},
            {"canManageMembers", canManageMembers(member.role)},
            {"joinedAt", text(member.joinedAt.iso8601())}};
}

QVariantMap toVariant(const TeamInvitation& invitation) {
    return {{"id", text(invitation.id)},
            {"email", text(invitation.email)},
            {"role", text(invitation.role)},
            {"token", optionalText(invitation.token)},
            {"expiresAt", text(invitation.expiresAt.iso8601())},
            {"createdAt", text(invitation.createdAt.iso8601())}};
}

QVariantMap toVariant(const PendingInvitation& invitation) {
    return {{"id", text(invitation.id)},
            {"token", text(invitation.token)},
            {"role", text(invitation.role)},
            {"teamId", text(invitation.teamId)},
            {"teamName", text(invitation.teamName)},
            {"teamIcon", optionalText(invitation.teamIcon)},
            {"expiresAt", text(invitation.expiresAt.iso8601())},
            {"createdAt", text(invitation.createdAt.iso8601())}};
}

template <class Record>
QVariantList toVariantList(const std::vector<Record>& records) {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(records.size()));
    for (const auto& record : records) list.append(toVariant(record));
    return list;
}

}  // namespace

TeamManager::TeamManager(AuthManager& auth, APIClient& client, TeamSnippetCache& teamSnippets,
                         AnalyticsTracking& analytics, std::chrono::milliseconds requestTimeout, QObject* parent)
    : QObject(parent),
      auth_(auth),
      client_(client),
      teamSnippets_(teamSnippets),
      analytics_(analytics),
      requestTimeout_(requestTimeout),
      requests_(
          client, [&auth] { return auth.getValidAccessToken(); }, this) {
    connect(&auth_, &AuthManager::sessionEnded, this, &TeamManager::clearAll);
}

QCoro::Task<> TeamManager::fetchTeams() {
    if (!auth_.isAuthenticated()) co_return;
    QPointer<TeamManager> self(this);
    const uint64_t session = session_;
    auto teams = co_await requests_.send(
        APIEndpoint::teams(), request("GET"), AcceptedStatus::exactly(200),
        [](const APIResponse& answer) { return teamCoding::requiredList<Team>(bodyObject(answer, "teams"), "teams"); });
    if (!self) co_return;
    if (!teams) {
        if (const auto failure = failureText(teams.error()))
            logger_.error("Error fetching teams: %s", posix::escapedForLog(*failure).c_str());
        else
            logger_.error("Failed to fetch teams: %d", teams.error().status);
        co_return;
    }
    if (session != session_) co_return;

    setTeams(std::move(teams).value());
    if (selectedTeamId_) {
        if (auto team = findTeam(*selectedTeamId_))
            setCurrentTeam(std::move(team));
        else
            setSelectedTeamId(std::nullopt);
    }
    logger_.info("Fetched %ld teams", static_cast<long>(teams_.size()));
    co_await fetchPendingInvitations();
}

QCoro::Task<> TeamManager::fetchPendingInvitations() {
    if (!auth_.isAuthenticated()) co_return;
    QPointer<TeamManager> self(this);
    const uint64_t session = session_;
    auto invitations = co_await requests_.send(
        APIEndpoint::pendingInvitations(), request("GET"), AcceptedStatus::exactly(200), [](const APIResponse& answer) {
            return teamCoding::requiredList<PendingInvitation>(bodyObject(answer, "invitations"), "invitations");
        });
    if (!self) co_return;
    if (!invitations) {
        if (const auto failure = failureText(invitations.error()))
            logger_.error("Error fetching pending invitations: %s", posix::escapedForLog(*failure).c_str());
        co_return;
    }
    if (session != session_) co_return;
    setPendingInvitations(std::move(invitations).value());
}

QCoro::Task<> TeamManager::fetchMembers(platform::Uuid teamId) {
    QPointer<TeamManager> self(this);
    const uint64_t session = session_;
    auto lists = co_await requests_.send(
        APIEndpoint::teamMembers(teamId), request("GET"), AcceptedStatus::exactly(200), [](const APIResponse& answer) {
            const json body = bodyObject(answer, "members");
            return std::make_pair(teamCoding::requiredList<TeamMember>(body, "members"),
                                  teamCoding::requiredList<TeamInvitation>(body, "invitations"));
        });
    if (!self) co_return;
    if (!lists) {
        if (const auto failure = failureText(lists.error()))
            logger_.error("Error fetching members: %s", posix::escapedForLog(*failure).c_str());
        co_return;
    }
    // Another team may have been selected meanwhile; its list must not show this team's members.
    if (session != session_ || selectedTeamId_ != teamId) {
        logger_.debug("Members of team %s dropped: no longer selected", teamId.toString().c_str());
        co_return;
    }
    auto& [members, invitations] = lists.value();
    setMembers(std::move(members));
    setInvitations(std::move(invitations));
}

QCoro::Task<std::optional<Team>> TeamManager::createTeam(std::string name, std::optional<std::string> description,
                                                         std::optional<std::string> iconEmoji) {
    QPointer<TeamManager> self(this);
    const uint64_t session = session_;
    setLoading(true);
    setErrorMessage(std::nullopt);
    json body{{"name", std::move(name)}};
    if (description) body["description"] = std::move(*description);
    if (iconEmoji) body["iconEmoji"] = std::move(*iconEmoji);

    auto team =
        co_await requests_.send(APIEndpoint::teams(), request("POST", std::move(body)), AcceptedStatus::exactly(201),
                                [](const APIResponse& answer) { return Team::fromJson(bodyJson(answer, "team")); });
    if (!self) co_return std::nullopt;
    if (!team) {
        if (const auto failure = failureText(team.error())) {
            setErrorMessage(*failure);
            logger_.error("Error creating team: %s", posix::escapedForLog(*failure).c_str());
        } else {
            setErrorMessage(team.error().serverMessage.value_or(kCreateTeamFailedMessage));
        }
        setLoading(false);
        co_return std::nullopt;
    }
    setLoading(false);
    if (session != session_) co_return std::nullopt;
    std::vector<Team> teams = teams_;
    teams.push_back(team.value());
    setTeams(std::move(teams));
    analytics_.track(AnalyticsEvent::teamCreate);
    logger_.info("Created team: %s", posix::escapedForLog(team.value().name).c_str());
    co_return std::move(team).value();
}

QCoro::Task<> TeamManager::updateTeam(platform::Uuid teamId, std::optional<std::string> name,
                                      std::optional<std::string> description, std::optional<std::string> iconEmoji,
                                      std::optional<std::string> defaultPermission,
                                      std::optional<bool> allowMemberInvites) {
    QPointer<TeamManager> self(this);
    setLoading(true);
    setErrorMessage(std::nullopt);
    // Only what is given goes out; nothing is ever sent as null.
    json body = json::object();
    if (name) body["name"] = std::move(*name);
    if (description) body["description"] = std::move(*description);
    if (iconEmoji) body["iconEmoji"] = std::move(*iconEmoji);
    if (defaultPermission) body["defaultPermission"] = std::move(*defaultPermission);
    if (allowMemberInvites) body["allowMemberInvites"] = *allowMemberInvites;

    const auto answer = co_await requests_.send(APIEndpoint::team(teamId), request("PUT", std::move(body)),
                                                AcceptedStatus::exactly(200));
    if (!self) co_return;
    if (answer) {
        co_await fetchTeams();
        if (!self) co_return;
    } else {
        setErrorMessage(failureText(answer).value_or(kUpdateTeamFailedMessage));
    }
    setLoading(false);
}

QCoro::Task<> TeamManager::deleteTeam(platform::Uuid teamId) {
    QPointer<TeamManager> self(this);
    const auto answer =
        co_await requests_.send(APIEndpoint::team(teamId), request("DELETE"), AcceptedStatus::exactly(200));
    if (!self) co_return;
    if (answer)
        removeTeamLocally(teamId);
    else if (const auto failure = failureText(answer))
        setErrorMessage(*failure);
}

QCoro::Task<bool> TeamManager::acceptInvitation(std::string token) {
    if (!namesAnInvitation(token)) {
        setErrorMessage(kInvalidInvitationMessage);
        logger_.error("Invitation refused: the token names no invitation");
        co_return false;
    }
    QPointer<TeamManager> self(this);
    const auto answer =
        co_await requests_.send(APIEndpoint::invitation(token), request("POST"), AcceptedStatus::exactly(200));
    if (!self) co_return false;
    if (!answer) {
        if (const auto failure = failureText(answer)) setErrorMessage(*failure);
        co_return false;
    }

    std::vector<PendingInvitation> remaining;
    for (const auto& invitation : pendingInvitations_)
        if (invitation.token != token) remaining.push_back(invitation);
    setPendingInvitations(std::move(remaining));
    co_await fetchTeams();
    if (!self) co_return true;
    analytics_.track(AnalyticsEvent::teamJoin);
    co_return true;
}

void TeamManager::clearAll() {
    ++session_;
    // The next session's pulls bring each team's snippets whole.
    teamSnippets_.forgetSyncTimestamps();
    setTeams({});
    setCurrentTeam(std::nullopt);
    setMembers({});
    setInvitations({});
    setPendingInvitations({});
    setSelectedTeamId(std::nullopt);
    setErrorMessage(std::nullopt);
}

QCoro::Task<std::optional<TeamInvitation>> TeamManager::inviteMember(platform::Uuid teamId, std::string email,
                                                                     std::string role) {
    QPointer<TeamManager> self(this);
    const uint64_t session = session_;
    setLoading(true);
    setErrorMessage(std::nullopt);
    json body{{"email", std::move(email)}, {"role", std::move(role)}};

    auto invitation = co_await requests_.send(
        APIEndpoint::teamMembers(teamId), request("POST", std::move(body)), AcceptedStatus::exactly(201),
        [](const APIResponse& answer) { return TeamInvitation::fromJson(bodyJson(answer, "invitation")); });
    if (!self) co_return std::nullopt;
    setLoading(false);
    if (!invitation) {
        setErrorMessage(failureText(invitation.error())
                            .value_or(invitation.error().serverMessage.value_or(kInviteMemberFailedMessage)));
        co_return std::nullopt;
    }
    // The list shows the selected team's invitations only.
    if (session == session_ && selectedTeamId_ == teamId) {
        std::vector<TeamInvitation> invitations = invitations_;
        invitations.push_back(invitation.value());
        setInvitations(std::move(invitations));
    }
    co_return std::move(invitation).value();
}

QCoro::Task<> TeamManager::updateMemberRole(platform::Uuid teamId, std::string userId, std::string role) {
    const auto user = platform::Uuid::fromString(userId);
    if (!user) co_return;
    QPointer<TeamManager> self(this);
    json body{{"role", std::move(role)}};
    const auto answer = co_await requests_.send(APIEndpoint::teamMember(teamId, *user), request("PUT", std::move(body)),
                                                AcceptedStatus::exactly(200));
    if (!self) co_return;
    if (answer)
        co_await fetchMembers(teamId);
    else if (const auto failure = failureText(answer))
        setErrorMessage(*failure);
}

QCoro::Task<> TeamManager::removeMember(platform::Uuid teamId, std::string userId) {
    const auto user = platform::Uuid::fromString(userId);
    if (!user) co_return;
    QPointer<TeamManager> self(this);
    const auto answer = co_await requests_.send(APIEndpoint::teamMember(teamId, *user), request("DELETE"),
                                                AcceptedStatus::exactly(200));
    if (!self) co_return;
    if (answer) {
        co_await fetchMembers(teamId);
        if (!self) co_return;
        co_await fetchTeams();
    } else if (const auto failure = failureText(answer)) {
        setErrorMessage(*failure);
    }
}

QCoro::Task<> TeamManager::leaveTeam(platform::Uuid teamId) {
    const auto& user = auth_.currentUser();
    if (!user) co_return;
    QPointer<TeamManager> self(this);
    co_await removeMember(teamId, user->id.toString());
    if (!self) co_return;
    // Whatever the backend said: a team the user chose to leave goes from this machine.
    removeTeamLocally(teamId);
}

void TeamManager::setSelectedTeamId(std::optional<platform::Uuid> teamId) {
    const bool changed = selectedTeamId_ != teamId;
    selectedTeamId_ = teamId;
    runSelectionHandler();
    if (changed) emit selectedTeamIdChanged();
}

void TeamManager::runSelectionHandler() {
    if (!selectedTeamId_) {
        setCurrentTeam(std::nullopt);
        setMembers({});
        setInvitations({});
        return;
    }
    setCurrentTeam(findTeam(*selectedTeamId_));
    // Nobody waits for it; the old lists stay until it succeeds.
    fetchMembers(*selectedTeamId_);
}

void TeamManager::removeTeamLocally(const platform::Uuid& teamId) {
    clearTeamCache(teamId);
    std::vector<Team> teams = teams_;
    std::erase_if(teams, [&](const Team& team) { return team.id == teamId; });
    setTeams(std::move(teams));
    if (selectedTeamId_ == teamId) setSelectedTeamId(std::nullopt);
}

void TeamManager::clearTeamCache(const platform::Uuid& teamId) {
    const std::string id = teamId.toString();
    try {
        teamSnippets_.deleteAllSnippets(teamId);
        logger_.info("Cleared snippet cache for team %s", posix::escapedForLog(id).c_str());
    } catch (const std::exception& error) {
        logger_.error("Failed to clear snippet cache for team %s: %s", posix::escapedForLog(id).c_str(),
                      posix::escapedForLog(error.what()).c_str());
    }
}

std::optional<Team> TeamManager::findTeam(const platform::Uuid& teamId) const {
    const auto found = std::find_if(teams_.begin(), teams_.end(), [&](const Team& team) { return team.id == teamId; });
    if (found == teams_.end()) return std::nullopt;
    return *found;
}

QString TeamManager::selectedTeamIdText() const {
    return selectedTeamId_ ? QString::fromStdString(selectedTeamId_->toString()) : QString();
}

void TeamManager::setSelectedTeamIdText(const QString& teamId) {
    if (teamId.isEmpty()) return setSelectedTeamId(std::nullopt);
    const auto id = platform::Uuid::fromString(teamId.toStdString());
    if (!id) {
        logger_.error("Team selection refused: \"%s\" is not a team id",
                      posix::escapedForLog(teamId.toStdString()).c_str());
        return;
    }
    setSelectedTeamId(*id);
}

QVariantList TeamManager::teamsList() const { return toVariantList(teams_); }

QVariantMap TeamManager::currentTeamMap() const { return currentTeam_ ? toVariant(*currentTeam_) : QVariantMap(); }

QVariantList TeamManager::membersList() const { return toVariantList(members_); }

QVariantList TeamManager::invitationsList() const { return toVariantList(invitations_); }

QVariantList TeamManager::pendingInvitationsList() const { return toVariantList(pendingInvitations_); }

void TeamManager::setTeams(std::vector<Team> teams) { publish(teams_, std::move(teams), &TeamManager::teamsChanged); }

void TeamManager::setCurrentTeam(std::optional<Team> team) {
    publish(currentTeam_, std::move(team), &TeamManager::currentTeamChanged);
}

void TeamManager::setMembers(std::vector<TeamMember> members) {
    publish(members_, std::move(members), &TeamManager::membersChanged);
}

void TeamManager::setInvitations(std::vector<TeamInvitation> invitations) {
    publish(invitations_, std::move(invitations), &TeamManager::invitationsChanged);
}

void TeamManager::setPendingInvitations(std::vector<PendingInvitation> invitations) {
    publish(pendingInvitations_, std::move(invitations), &TeamManager::pendingInvitationsChanged);
}

void TeamManager::setLoading(bool value) { publish(isLoading_, value, &TeamManager::isLoadingChanged); }

void TeamManager::setErrorMessage(std::optional<std::string> message) {
    publish(errorMessage_, std::move(message), &TeamManager::errorMessageChanged);
}

}  // namespace sablix
