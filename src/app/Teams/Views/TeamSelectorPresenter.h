#pragma once
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include "MainWindow/MainWindowTeams.h"

namespace sablix {

class AuthManager;
class SyncService;
class TeamManager;

// What the "Snippet Source" control shows and does: whether it shows at all, its label, the
// teams and the invitations addressed to the user, whether "Create Team..." is offered, and the
// choices made in it. It keeps no team state: it reads and writes the team service's. Lives on
// the main thread.
class TeamSelectorPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The team selector's presenter is made by the composition root.")
    Q_PROPERTY(bool shouldShow READ shouldShow NOTIFY changed)
    Q_PROPERTY(bool ownsATeam READ ownsATeam NOTIFY changed)
    Q_PROPERTY(bool isPersonalMode READ isPersonalMode NOTIFY changed)
    Q_PROPERTY(bool hasPendingInvitations READ hasPendingInvitations NOTIFY changed)
    // "Personal Snippets", or the selected team's name.
    Q_PROPERTY(QString sourceName READ sourceName NOTIFY changed)
    // Maps of "id", "name" and "selected", in the order of the team list.
    Q_PROPERTY(QVariantList teams READ teams NOTIFY changed)
    // Maps of "id", "token" and "title" (the team's name and the role as received, in parentheses).
    Q_PROPERTY(QVariantList invitations READ invitations NOTIFY changed)
    Q_PROPERTY(QString syncState READ syncState NOTIFY syncStateChanged)
    // The window's "Team Settings" button shows while this holds.
    Q_PROPERTY(bool canShowTeamSettings READ canShowTeamSettings NOTIFY changed)

public:
    static constexpr const char* kPersonalSnippets = "Personal Snippets";

    TeamSelectorPresenter(TeamManager& teamManager, AuthManager& authManager, SyncService& syncService,
                          const MainWindowTeams& windowTeams, QObject* parent = nullptr);

    bool shouldShow() const;
    bool ownsATeam() const;
    bool isPersonalMode() const;
    bool hasPendingInvitations() const;
    QString sourceName() const;
    QVariantList teams() const;
    QVariantList invitations() const;
    QString syncState() const;
    bool canShowTeamSettings() const { return windowTeams_.canShowTeamSettings(); }

    // Writes the selection, the same one again too, so the team's members are loaded again.
    Q_INVOKABLE void selectPersonal();
    Q_INVOKABLE void selectTeam(const QString& teamId);
    // The result is not shown: the service's lists show it.
    Q_INVOKABLE void accept(const QString& token);
    // Only hides it here; the next fetch lists it again while the backend holds it.
    Q_INVOKABLE void decline(const QString& invitationId);
    // The name goes as typed; a created team becomes the source at once.
    Q_INVOKABLE void createTeam(const QString& name);

signals:
    void changed();
    void syncStateChanged();

private:
    TeamManager& teamManager_;
    AuthManager& authManager_;
    SyncService& syncService_;
    const MainWindowTeams& windowTeams_;
};

}  // namespace sablix
