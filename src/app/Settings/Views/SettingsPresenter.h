#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtQml/qqmlregistration.h>
#include <chrono>
#include <optional>
#include <string>

#include <QCoro/QCoroTask>

#include "Accounts/AuthManager.h"
#include "Shell/Hotkey/HotkeyRecorder.h"
#include "Settings/FeedbackPresenter.h"
#include "Snippets/SnippetSettings.h"

namespace desktop {
class Workspace;
}

namespace sablix {

class AnalyticsTracking;
class APIClient;
class HotkeyManager;
class MainWindowState;
class TeamManager;
class TutorialManager;

// What the settings sheet shows and does. Its controls write straight into the shared objects
// they show (hot key, snippet settings, account, analytics opt-out); there is no Save step. Each
// opening of the sheet starts with a fresh feedback form, and closing it ends a recording under
// way. The sheet's view only shows it.
class SettingsPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The settings sheet's presenter is made by the composition root.")
    Q_PROPERTY(sablix::HotkeyRecorder* recorder READ recorder CONSTANT)
    Q_PROPERTY(bool hotkeyEnabled READ hotkeyEnabled WRITE setHotkeyEnabled NOTIFY hotkeyEnabledChanged)
    // While another application holds the combination, so the hot key does not work.
    Q_PROPERTY(bool hotkeyTaken READ hotkeyTaken NOTIFY hotkeyTakenChanged)
    Q_PROPERTY(sablix::SnippetSettings* snippetSettings READ snippetSettings CONSTANT)
    Q_PROPERTY(sablix::AuthManager* authManager READ authManager CONSTANT)
    Q_PROPERTY(bool showsCreateTeam READ showsCreateTeam NOTIFY teamsChanged)
    Q_PROPERTY(bool analyticsEnabled READ analyticsEnabled WRITE setAnalyticsEnabled NOTIFY analyticsEnabledChanged)
    Q_PROPERTY(sablix::FeedbackPresenter* feedback READ feedback NOTIFY feedbackChanged)
    Q_PROPERTY(QString appVersion READ appVersion CONSTANT)
    Q_PROPERTY(QString buildNumber READ buildNumber CONSTANT)

public:
    static constexpr const char* kUnknownVersion = "1.0.0";
    static constexpr const char* kUnknownBuild = "1";

    struct Collaborators {
        MainWindowState& windowState;
        HotkeyManager& hotkeyManager;
        HotkeyRecorder& recorder;
        SnippetSettings& snippetSettings;
        AuthManager& authManager;
        TeamManager& teamManager;
        AnalyticsTracking& analytics;
        TutorialManager& tutorial;
        APIClient& client;
        desktop::Workspace& workspace;
        // The product's web site, without a trailing slash.
        std::string websiteURL;
        std::optional<std::string> appVersion;
        std::optional<std::string> buildNumber;
        std::string osVersion;
        std::chrono::milliseconds feedbackTimeout = FeedbackPresenter::kTimeout;
    };

    explicit SettingsPresenter(Collaborators collaborators, QObject* parent = nullptr);

    HotkeyRecorder* recorder() const { return &recorder_; }
    bool hotkeyEnabled() const;
    void setHotkeyEnabled(bool enabled);
    bool hotkeyTaken() const;
    SnippetSettings* snippetSettings() const { return &snippetSettings_; }
    AuthManager* authManager() const { return &authManager_; }
    // While no loaded team is owned by the user.
    bool showsCreateTeam() const;
    // Whether the user has not opted out of analytics; read from the store each time.
    bool analyticsEnabled() const;
    void setAnalyticsEnabled(bool enabled);
    FeedbackPresenter* feedback() const { return feedback_; }
    QString appVersion() const { return appVersion_; }
    QString buildNumber() const { return buildNumber_; }

    // Creates a team under the name as typed and, when that worked, makes it the snippet source.
    Q_INVOKABLE void createTeam(const QString& name);
    // The web site's page at this path ("" for the home page) in the user's browser.
    Q_INVOKABLE void openWebsitePage(const QString& path);
    // Makes the first-run tutorial due again and closes the sheet, so the window shows it.
    Q_INVOKABLE void replayTutorial();
    // Closes the sheet.
    Q_INVOKABLE void dismiss();

signals:
    void hotkeyEnabledChanged();
    void hotkeyTakenChanged();
    void teamsChanged();
    void analyticsEnabledChanged();
    void feedbackChanged();

private:
    void sheetShownOrHidden();
    QCoro::Task<> create(std::string name);

    MainWindowState& windowState_;
    HotkeyManager& hotkeyManager_;
    HotkeyRecorder& recorder_;
    SnippetSettings& snippetSettings_;
    AuthManager& authManager_;
    TeamManager& teamManager_;
    AnalyticsTracking& analytics_;
    TutorialManager& tutorial_;
    APIClient& client_;
    desktop::Workspace& workspace_;
    const std::string websiteURL_;
    const std::optional<std::string> appVersionOrNone_;
    const QString appVersion_;
    const QString buildNumber_;
    const std::string osVersion_;
    const std::chrono::milliseconds feedbackTimeout_;
    QPointer<FeedbackPresenter> feedback_;
};

}  // namespace sablix
