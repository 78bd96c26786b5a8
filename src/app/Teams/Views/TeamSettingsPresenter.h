#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include "Teams/Team.h"
#include "desktop/Pasteboard.h"

namespace sablix {

class TeamManager;

// The settings sheet of one team: whether it is open, its editing state, and the rules by which
// the signed-in user's role in the shown team shapes it (editable fields, the invite card, the
// role choices, which member rows carry controls, delete or leave). Every change goes through the
// team service; the sheet keeps nothing beyond one opening. Lives on the main thread.
//
// The shown team is the service's current team when there is one, else the team the sheet was
// opened for, read again at every decision and request.
class TeamSettingsPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The team settings sheet's presenter is made by the composition root.")
    Q_PROPERTY(bool showing READ showing NOTIFY showingChanged)
    // False when the sheet was opened with no current team: it then shows no content.
    Q_PROPERTY(bool hasTeam READ hasTeam NOTIFY showingChanged)
    Q_PROPERTY(QString teamName READ teamName WRITE setTeamName NOTIFY fieldsChanged)
    Q_PROPERTY(QString teamDescription READ teamDescription WRITE setTeamDescription NOTIFY fieldsChanged)
    Q_PROPERTY(QString teamEmoji READ teamEmoji WRITE setTeamEmoji NOTIFY fieldsChanged)
    Q_PROPERTY(QString inviteEmail READ inviteEmail WRITE setInviteEmail NOTIFY fieldsChanged)
    Q_PROPERTY(QString inviteRole READ inviteRole WRITE setInviteRole NOTIFY fieldsChanged)
    Q_PROPERTY(bool canManageMembers READ canManageMembers NOTIFY teamChanged)
    Q_PROPERTY(bool isOwner READ isOwner NOTIFY teamChanged)
    // Maps of "text" and "value": Viewer, Editor, and Admin for an owner only.
    Q_PROPERTY(QVariantList roleChoices READ roleChoices NOTIFY teamChanged)
    // Maps of "id", "userId", "displayName", "email", "role" (raw value), "badge" (the role's
    // display name) and "hasControls" (role picker and remove button instead of the badge).
    Q_PROPERTY(QVariantList members READ members NOTIFY teamChanged)
    // Maps of "id", "email" and "role" (each word capitalised).
    Q_PROPERTY(QVariantList invitations READ invitations NOTIFY teamChanged)
    Q_PROPERTY(QString membersTitle READ membersTitle NOTIFY teamChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY teamChanged)
    Q_PROPERTY(bool canSave READ canSave NOTIFY fieldsChanged)
    Q_PROPERTY(bool showSaveSuccess READ showSaveSuccess NOTIFY fieldsChanged)
    Q_PROPERTY(bool invitationSent READ invitationSent NOTIFY fieldsChanged)

public:
    // The invitation link names the production host whatever backend this build talks to.
    static constexpr const char* kInviteLinkPrefix = "https://api.sablix.app/invite/";
    static constexpr int kSaveSuccessMilliseconds = 2000;

    TeamSettingsPresenter(TeamManager& teamManager, desktop::Pasteboard& pasteboard, QObject* parent = nullptr);

    bool showing() const { return showing_; }
    bool hasTeam() const { return team().has_value(); }
    QString teamName() const { return teamName_; }
    QString teamDescription() const { return teamDescription_; }
    QString teamEmoji() const { return teamEmoji_; }
    QString inviteEmail() const { return inviteEmail_; }
    QString inviteRole() const { return inviteRole_; }
    void setTeamName(const QString& value);
    void setTeamDescription(const QString& value);
    void setTeamEmoji(const QString& value);
    void setInviteEmail(const QString& value);
    void setInviteRole(const QString& value);

    bool canManageMembers() const;
    bool isOwner() const;
    QVariantList roleChoices() const;
    QVariantList members() const;
    QVariantList invitations() const;
    QString membersTitle() const;
    QString errorMessage() const;
    bool canSave() const;
    bool showSaveSuccess() const { return showSaveSuccess_; }
    bool invitationSent() const { return copiedInviteToken_.has_value(); }
    std::optional<Team> team() const;

    // The toolbar's "Team Settings": opens the sheet for the current team, fields filled from it.
    Q_INVOKABLE void open();
    // Closes the sheet and drops its state; nothing is saved.
    Q_INVOKABLE void dismiss();
    Q_INVOKABLE void save();
    Q_INVOKABLE void invite();
    Q_INVOKABLE void copyLink();
    // Only on a row with controls, and only to a role among roleChoices.
    Q_INVOKABLE void changeRole(const QString& userId, const QString& role);
    Q_INVOKABLE void removeMember(const QString& userId);
    // Both close the sheet once the request has returned, however it ended.
    Q_INVOKABLE void deleteTeam();
    Q_INVOKABLE void leaveTeam();
    // The application became active while the sheet is open: the teams are loaded again.
    Q_INVOKABLE void applicationBecameActive();

signals:
    void showingChanged();
    void fieldsChanged();
    void teamChanged();

private:
    void setShowing(bool showing);
    // Only a manager acts on a member row, and never on the owner's.
    bool hasControls(const QString& userId) const;
    void setField(QString& field, const QString& value);

    TeamManager& teamManager_;
    desktop::Pasteboard& pasteboard_;
    bool showing_ = false;
    // Which opening a request belongs to: an answer for a sheet closed meanwhile changes nothing.
    uint64_t opening_ = 0;
    std::optional<Team> initialTeam_;
    QString teamName_;
    QString teamDescription_;
    QString teamEmoji_;
    QString inviteEmail_;
    QString inviteRole_ = "viewer";
    std::optional<std::string> copiedInviteToken_;
    bool showSaveSuccess_ = false;
};

}  // namespace sablix
