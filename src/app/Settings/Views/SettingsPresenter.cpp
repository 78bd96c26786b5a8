#include "Settings/Views/SettingsPresenter.h"

#include <algorithm>

#include "Analytics/AnalyticsTracking.h"
#include "Shell/Hotkey/HotkeyManager.h"
#include "MainWindow/MainWindowState.h"
#include "Teams/TeamManager.h"
#include "Tutorial/TutorialManager.h"
#include "desktop/Workspace.h"

namespace sablix {

SettingsPresenter::SettingsPresenter(Collaborators collaborators, QObject* parent)
    : QObject(parent),
      windowState_(collaborators.windowState),
      hotkeyManager_(collaborators.hotkeyManager),
      recorder_(collaborators.recorder),
      snippetSettings_(collaborators.snippetSettings),
      authManager_(collaborators.authManager),
      teamManager_(collaborators.teamManager),
      analytics_(collaborators.analytics),
      tutorial_(collaborators.tutorial),
      client_(collaborators.client),
      workspace_(collaborators.workspace),
      websiteURL_(std::move(collaborators.websiteURL)),
      appVersionOrNone_(collaborators.appVersion),
      appVersion_(QString::fromStdString(collaborators.appVersion.value_or(kUnknownVersion))),
      buildNumber_(QString::fromStdString(collaborators.buildNumber.value_or(kUnknownBuild))),
      osVersion_(std::move(collaborators.osVersion)),
      feedbackTimeout_(collaborators.feedbackTimeout) {
    feedback_ = new FeedbackPresenter(client_, appVersionOrNone_, osVersion_, feedbackTimeout_, this);
    connect(&hotkeyManager_, &HotkeyManager::isEnabledChanged, this, &SettingsPresenter::hotkeyEnabledChanged);
    connect(&hotkeyManager_, &HotkeyManager::isTakenChanged, this, &SettingsPresenter::hotkeyTakenChanged);
    connect(&windowState_, &MainWindowState::showingSettingsChanged, this, &SettingsPresenter::sheetShownOrHidden);
    connect(&teamManager_, &TeamManager::teamsChanged, this, &SettingsPresenter::teamsChanged);
}

void SettingsPresenter::sheetShownOrHidden() {
    if (!windowState_.showingSettings()) {
        recorder_.stopRecording();
        return;
    }
    // A request of an earlier opening may still be under way: it finishes unseen.
    FeedbackPresenter* previous = feedback_;
    feedback_ = new FeedbackPresenter(client_, appVersionOrNone_, osVersion_, feedbackTimeout_, this);
    emit feedbackChanged();
    if (previous) previous->deleteLater();
    emit analyticsEnabledChanged();
}

bool SettingsPresenter::hotkeyEnabled() const { return hotkeyManager_.isEnabled(); }

bool SettingsPresenter::hotkeyTaken() const { return hotkeyManager_.isTaken(); }

void SettingsPresenter::setHotkeyEnabled(bool enabled) {
    if (enabled != hotkeyManager_.isEnabled()) hotkeyManager_.setEnabled(enabled);
}

bool SettingsPresenter::showsCreateTeam() const {
    const auto& teams = teamManager_.teams();
    return std::none_of(teams.begin(), teams.end(), [](const Team& team) { return team.role == TeamRole::owner; });
}

bool SettingsPresenter::analyticsEnabled() const { return !analytics_.isOptedOut(); }

void SettingsPresenter::setAnalyticsEnabled(bool enabled) {
    if (enabled)
        analytics_.optIn();
    else
        analytics_.optOut();
    emit analyticsEnabledChanged();
}

void SettingsPresenter::createTeam(const QString& name) {
    // The task finishes on its own, also after the sheet closed.
    create(name.toStdString());
}

QCoro::Task<> SettingsPresenter::create(std::string name) {
    QPointer<SettingsPresenter> self(this);
    const std::optional<Team> team = co_await teamManager_.createTeam(std::move(name), std::nullopt, std::nullopt);
    if (!self || !team) co_return;
    teamManager_.setSelectedTeamId(team->id);
}

void SettingsPresenter::openWebsitePage(const QString& path) { workspace_.openURL(websiteURL_ + path.toStdString()); }

void SettingsPresenter::replayTutorial() {
    tutorial_.resetTutorial();
    dismiss();
}

void SettingsPresenter::dismiss() { windowState_.setShowingSettings(false); }

}  // namespace sablix
