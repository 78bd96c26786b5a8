#pragma once
#include <functional>
#include <optional>

#include <QObject>

#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

class AuthManager;
class MainWindowState;
class MiddlePanelModel;
class SyncService;
class TagSidebarModel;
class TeamManager;

// What the main window does for teams: a change of the selected team clears the selection and
// the tag, switches the list's source, makes the expansion engine follow the team and starts (or
// stops) that team's periodic sync; every completed sync reloads a shown team's list; the teams
// are loaded when the window first shows and after each sign-in. Lives on the main thread.
class MainWindowTeams final : public QObject {
    Q_OBJECT
    // An owner or admin of the selected team may open its settings.
    Q_PROPERTY(bool canShowTeamSettings READ canShowTeamSettings NOTIFY canShowTeamSettingsChanged)

public:
    // The expansion engine: which team's snippets it expands, and the rebuild of its triggers.
    struct Engine {
        std::function<void(std::optional<platform::Uuid>)> setActiveTeamId;
        std::function<void()> refreshSnippetCache;
    };

    struct Collaborators {
        MainWindowState& windowState;
        TagSidebarModel& tagSidebarModel;
        MiddlePanelModel& middlePanelModel;
        TeamManager& teamManager;
        AuthManager& authManager;
        SyncService& syncService;
        Engine engine;
    };

    explicit MainWindowTeams(Collaborators collaborators, QObject* parent = nullptr);

    bool canShowTeamSettings() const;
    // The window's content is first shown: the user's teams are loaded.
    void contentShown();

signals:
    void canShowTeamSettingsChanged();

private:
    void selectedTeamChanged();

    Collaborators c_;
    platform::Log logger_ = platform::appLog("MainWindow");
};

}  // namespace sablix
