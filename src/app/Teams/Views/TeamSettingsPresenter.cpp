#include "Teams/Views/TeamSettingsPresenter.h"

#include <algorithm>

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QTimer>

#include "Teams/TeamManager.h"

namespace sablix {

namespace {

// "team admin" -> "Team Admin", "EDITOR" -> "Editor".
QString capitalisedWords(const std::string& text) {
    QString result = QString::fromStdString(text).toLower();
    bool wordStart = true;
    for (QChar& c : result) {
        if (wordStart && c.isLetter()) c = c.toUpper();
        wordStart = c.isSpace();
    }
    return result;
}

std::optional<std::string> unlessEmpty(const QString& text) {
    return text.isEmpty() ? std::nullopt : std::optional(text.toStdString());
}

}  // namespace

TeamSettingsPresenter::TeamSettingsPresenter(TeamManager& teamManager, desktop::Pasteboard& pasteboard, QObject* parent)
    : QObject(parent), teamManager_(teamManager), pasteboard_(pasteboard) {
    for (auto signal : {&TeamManager::currentTeamChanged, &TeamManager::membersChanged,
                        &TeamManager::invitationsChanged, &TeamManager::errorMessageChanged})
        connect(&teamManager_, signal, this, &TeamSettingsPresenter::teamChanged);
    connect(&teamManager_, &TeamManager::isLoadingChanged, this, &TeamSettingsPresenter::fieldsChanged);
}

std::optional<Team> TeamSettingsPresenter::team() const {
    return teamManager_.currentTeam() ? teamManager_.currentTeam() : initialTeam_;
}

void TeamSettingsPresenter::setField(QString& field, const QString& value) {
    if (field == value) return;
    field = value;
    emit fieldsChanged();
}

void TeamSettingsPresenter::setTeamName(const QString& value) { setField(teamName_, value); }
void TeamSettingsPresenter::setTeamDescription(const QString& value) { setField(teamDescription_, value); }
void TeamSettingsPresenter::setTeamEmoji(const QString& value) { setField(teamEmoji_, value); }
void TeamSettingsPresenter::setInviteEmail(const QString& value) { setField(inviteEmail_, value); }
void TeamSettingsPresenter::setInviteRole(const QString& value) { setField(inviteRole_, value); }

bool TeamSettingsPresenter::canManageMembers() const {
    const std::optional<Team> shown = team();
    return shown && sablix::canManageMembers(shown->role);
}

bool TeamSettingsPresenter::isOwner() const {
    const std::optional<Team> shown = team();
    return shown && shown->role == TeamRole::owner;
}

QVariantList TeamSettingsPresenter::roleChoices() const {
    QVariantList choices;
    for (TeamRole role : {TeamRole::viewer, TeamRole::editor, TeamRole::admin}) {
        if (role == TeamRole::admin && !isOwner()) continue;
        choices.append(QVariantMap{{"text", QString::fromStdString(displayName(role))},
                                   {"value", QString::fromStdString(std::string(rawValue(role)))}});
    }
    return choices;
}

QVariantList TeamSettingsPresenter::members() const {
    const bool manages = canManageMembers();
    QVariantList rows;
    for (const TeamMember& member : teamManager_.members())
        rows.append(QVariantMap{{"id", QString::fromStdString(member.id)},
                                {"userId", QString::fromStdString(member.userId)},
                                {"displayName", QString::fromStdString(member.displayName)},
                                {"email", QString::fromStdString(member.email)},
                                {"role", QString::fromStdString(std::string(rawValue(member.role)))},
                                {"badge", QString::fromStdString(displayName(member.role))},
                                {"hasControls", manages && member.role != TeamRole::owner}});
    return rows;
}

QVariantList TeamSettingsPresenter::invitations() const {
    QVariantList rows;
    for (const TeamInvitation& invitation : teamManager_.invitations())
        rows.append(QVariantMap{{"id", QString::fromStdString(invitation.id)},
                                {"email", QString::fromStdString(invitation.email)},
                                {"role", capitalisedWords(invitation.role)}});
    return rows;
}

QString TeamSettingsPresenter::membersTitle() const {
    return QString("Members (%1)").arg(teamManager_.members().size());
}

QString TeamSettingsPresenter::errorMessage() const { return teamManager_.errorMessageText(); }

bool TeamSettingsPresenter::canSave() const { return !teamName_.isEmpty() && !teamManager_.isLoading(); }

void TeamSettingsPresenter::setShowing(bool showing) {
    if (showing_ == showing) return;
    showing_ = showing;
    emit showingChanged();
    emit teamChanged();
    emit fieldsChanged();
}

void TeamSettingsPresenter::open() {
    ++opening_;
    initialTeam_ = teamManager_.currentTeam();
    teamName_ = initialTeam_ ? QString::fromStdString(initialTeam_->name) : QString();
    teamDescription_ = initialTeam_ ? QString::fromStdString(initialTeam_->description.value_or("")) : QString();
    teamEmoji_ = initialTeam_ ? QString::fromStdString(initialTeam_->iconEmoji.value_or("")) : QString();
    inviteEmail_.clear();
    inviteRole_ = "viewer";
    copiedInviteToken_.reset();
    showSaveSuccess_ = false;
    if (showing_) {
        emit showingChanged();
        emit teamChanged();
        emit fieldsChanged();
    }
    setShowing(true);
}

void TeamSettingsPresenter::dismiss() {
    ++opening_;
    setShowing(false);
}

void TeamSettingsPresenter::save() {
    const std::optional<Team> shown = team();
    if (!shown || !canSave()) return;
    // The service outlives the sheet, so each task keeps only a guarded way back to it.
    [](TeamManager& teams, QPointer<TeamSettingsPresenter> sheet, uint64_t opening, platform::Uuid teamId,
       std::string name, std::optional<std::string> description,
       std::optional<std::string> emoji) -> QCoro::Task<> {
        const std::optional<std::string> noPermission;
        const std::optional<bool> noInviteSwitch;
        co_await teams.updateTeam(teamId, name, description, emoji, noPermission, noInviteSwitch);
        if (!sheet || sheet->opening_ != opening || teams.errorMessage()) co_return;
        sheet->showSaveSuccess_ = true;
        emit sheet->fieldsChanged();
        QTimer::singleShot(kSaveSuccessMilliseconds, sheet, [sheet, opening] {
            if (sheet->opening_ != opening) return;
            sheet->showSaveSuccess_ = false;
            emit sheet->fieldsChanged();
        });
    }(teamManager_, this, opening_, shown->id, teamName_.toStdString(), unlessEmpty(teamDescription_),
                                         unlessEmpty(teamEmoji_));
}

void TeamSettingsPresenter::invite() {
    const std::optional<Team> shown = team();
    if (!shown || !canManageMembers() || inviteEmail_.isEmpty()) return;
    [](TeamManager& teams, QPointer<TeamSettingsPresenter> sheet, uint64_t opening, platform::Uuid teamId,
       std::string email, std::string role) -> QCoro::Task<> {
        const std::optional<TeamInvitation> sent = co_await teams.inviteMember(teamId, email, role);
        if (!sent || !sheet || sheet->opening_ != opening) co_return;
        sheet->inviteEmail_.clear();
        if (sent->token) sheet->copiedInviteToken_ = sent->token;
        emit sheet->fieldsChanged();
    }(teamManager_, this, opening_, shown->id, inviteEmail_.toStdString(), inviteRole_.toStdString());
}

void TeamSettingsPresenter::copyLink() {
    if (copiedInviteToken_) pasteboard_.setString(kInviteLinkPrefix + *copiedInviteToken_);
}

bool TeamSettingsPresenter::hasControls(const QString& userId) const {
    if (!canManageMembers()) return false;
    return std::ranges::any_of(teamManager_.members(), [&](const TeamMember& member) {
        return member.userId == userId.toStdString() && member.role != TeamRole::owner;
    });
}

void TeamSettingsPresenter::changeRole(const QString& userId, const QString& role) {
    const std::optional<Team> shown = team();
    if (!shown || !hasControls(userId)) return;
    const bool offered = std::ranges::any_of(
        roleChoices(), [&](const QVariant& choice) { return choice.toMap().value("value").toString() == role; });
    if (!offered) return;
    teamManager_.updateMemberRole(shown->id, userId.toStdString(), role.toStdString());
}

void TeamSettingsPresenter::removeMember(const QString& userId) {
    const std::optional<Team> shown = team();
    if (!shown || !hasControls(userId)) return;
    teamManager_.removeMember(shown->id, userId.toStdString());
}

void TeamSettingsPresenter::deleteTeam() {
    const std::optional<Team> shown = team();
    if (!shown || !isOwner()) return;
    [](TeamManager& teams, QPointer<TeamSettingsPresenter> sheet, uint64_t opening,
       platform::Uuid teamId) -> QCoro::Task<> {
        co_await teams.deleteTeam(teamId);
        if (sheet && sheet->opening_ == opening) sheet->dismiss();
    }(teamManager_, this, opening_, shown->id);
}

void TeamSettingsPresenter::leaveTeam() {
    const std::optional<Team> shown = team();
    if (!shown || isOwner()) return;
    [](TeamManager& teams, QPointer<TeamSettingsPresenter> sheet, uint64_t opening,
       platform::Uuid teamId) -> QCoro::Task<> {
        co_await teams.leaveTeam(teamId);
        if (sheet && sheet->opening_ == opening) sheet->dismiss();
    }(teamManager_, this, opening_, shown->id);
}

void TeamSettingsPresenter::applicationBecameActive() {
    if (showing_) teamManager_.fetchTeams();
}

}  // namespace sablix
