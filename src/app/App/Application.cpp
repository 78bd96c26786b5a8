#include "App/Application.h"

#include <unistd.h>

#include <QCoreApplication>

#include "App/AppDelegate.h"
#include "App/StorageFolders.h"
#include "Snippets/SnippetController.h"
#include "Analytics/AnalyticsService.h"
#include "Analytics/OrbitAnalyticsClient.h"
#include <QGuiApplication>

#include "orbit_qt/OrbitQtLifecycle.h"
#include "Shell/AppNotifier.h"
#include "Accounts/AuthManager.h"
#include "Accounts/CredentialStore.h"
#include "Shell/DeepLinks/DeepLinkDispatcher.h"
#include "Shell/Environment/AppEnvironment.h"
#include "Generation/AIGenerationViewModel.h"
#include "Generation/ProxyService.h"
#include "Shell/Hotkey/HotkeyManager.h"
#include "Shell/Hotkey/HotkeyRecorder.h"
#include "MainWindow/MainWindowState.h"
#include "MainWindow/MainWindowTeams.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/TagSidebarModel.h"
#include "MainWindow/UpdateNotice.h"
#include "Shell/Network/NetworkMonitor.h"
#include "Shell/Network/SystemPathMonitor.h"
#include "Networking/APIClient.h"
#include "Referrals/ReferralManager.h"
#include "Snippets/SnippetSettings.h"
#include "Shell/Templates/TemplateInstallService.h"
#include "Tutorial/TutorialManager.h"
#include "Tutorial/TutorialPresenter.h"
#include "Shell/Updates/CheckForUpdatesViewModel.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/Updater.h"
#include "Sync/SyncEngine.h"
#include "Sync/SyncService.h"
#include "Sync/TeamDataOwner.h"
#include "Sync/TeamSnippetCache.h"
#include "Teams/TeamManager.h"
#include "Expansion/HopLog.h"
#include "Expansion/TextReplacer.h"
#include "Expansion/Views/FillInFieldsWindowController.h"
#include "Shared/Views/ItemProbe.h"
#include "MainWindow/Views/MainWindowController.h"
#include "Referrals/Views/ReferralsSettingsSectionPresenter.h"
#include "Settings/Views/SettingsPresenter.h"
#include "MainWindow/Views/Detail/SnippetDetailPresenter.h"
#include "Teams/Views/TeamSelectorPresenter.h"
#include "Teams/Views/TeamSettingsPresenter.h"
#include "desktop/QtMainQueue.h"
#include "desktop/SchemeHandlerRegistration.h"
#include "Shared/Views/ApplicationIcon.h"
#include "desktop/SingleInstance.h"
#include "desktop/x11/QtSelectionOwner.h"
#include "desktop/x11/X11Accessibility.h"
#include "desktop/x11/X11HotkeyGrabber.h"
#include "desktop/x11/X11KeyLayout.h"
#include "desktop/x11/X11KeyPoster.h"
#include "desktop/x11/X11KeyboardGrab.h"
#include "desktop/x11/X11KeyTap.h"
#include "desktop/x11/X11LocalKeyMonitor.h"
#include "desktop/x11/X11Pasteboard.h"
#include "desktop/x11/X11Workspace.h"
#include "platform/Clock.h"
#include "platform/DeviceInfo.h"
#include "platform/FileDefaults.h"
#include "platform/Paths.h"

namespace sablix {

namespace {

// What the analytics library reports of the application: its name, identifier, version and build.
orbit::OrbitApplicationInfo analyticsApplicationInfo() {
    auto info = orbit::OrbitApplicationInfo::fromProcess();
    info.identifier = "com.sablix.app";
    info.name = "Sablix";
    info.version = SABLIX_VERSION;
    info.build = SABLIX_BUILD;
    return info;
}

}  // namespace

// Members in construction order: each is made after everything it uses.
struct Application::Services {
    explicit Services(const Options& options)
        : environment(options.environment, &defaults),
          analytics(defaults, analyticsClient, environment,
                    platform::DeviceInfo::current(SABLIX_VERSION, SABLIX_BUILD)),
          teamSnippets(TeamSnippetCache::databaseURL(), SyncTimestamps(defaults)),
          fillInController(workspace, desktop::QtMainQueue::shared()),
          engine(TextReplacer::Collaborators{
              .makeTap = [] { return std::make_unique<desktop::X11KeyTap>(); },
              .keyLayout = keyLayout,
              .keyPoster = keyPoster,
              .keyboardGrab = keyboardGrab,
              .pasteboard = clipboard,
              .primarySelection = primarySelection,
              .workspace = workspace,
              .accessibility = accessibility,
              .defaults = defaults,
              .loadTeamSnippets = TextReplacer::teamSnippetLoader(teamSnippets),
              .analytics = analytics,
              .fillInController = fillInController,
              .clock = clock,
              .ownProcessIdentifier = static_cast<int64_t>(::getpid()),
              .sleep = nullptr,
              .restoreTimer = nullptr,
              .libraryCache = &libraryCache,
              .hops = HopLog::enabledInThisBuild() ? &hopLog : nullptr,
          }),
          updater(apiClient, workspace, environment.appcastURL(), SABLIX_VERSION),
          updateChecker(apiClient, environment.appcastURL(), SABLIX_VERSION),
          checkForUpdates(updater),
          auth(*keychain, apiClient, workspace, analytics, teams, clock, [this] { mainWindow.showAndActivate(); }),
          teams(auth, apiClient, teamSnippets, analytics),
          network(makeSystemPathMonitor(), desktop::QtMainQueue::shared()),
          sync(SyncService::Collaborators{
              .cache = teamSnippets,
              .client = apiClient,
              .accessToken = [this] { return auth.getValidAccessToken(); },
              .network = network,
              .defaults = defaults,
              .clock = clock,
              .refreshSnippetCache = [this] { engine.refreshSnippetCache(); },
              .signedInUser = [this] { return signedInUser(); },
          }),
          middlePanel(
              defaults, snippetSettings, clock, [this] { engine.refreshSnippetCache(); }, analytics, notifier, sync,
              [this] { return signedInUser(); }, nullptr, &libraryCache),
          tagSidebar(middlePanel),
          windowState(middlePanel, rightPanel, tagSidebar, defaults),
          windowTeams(MainWindowTeams::Collaborators{
              .windowState = windowState,
              .tagSidebarModel = tagSidebar,
              .middlePanelModel = middlePanel,
              .teamManager = teams,
              .authManager = auth,
              .syncService = sync,
              .engine = {
                  .setActiveTeamId = [this](std::optional<platform::Uuid> team) { engine.setActiveTeamId(team); },
                  .refreshSnippetCache = [this] { engine.refreshSnippetCache(); }},
          }),
          teamSelector(teams, auth, sync, windowTeams),
          teamSettings(teams, clipboard),
          updateNotice(updateChecker, updater),
          detailPresenter(
              rightPanel, middlePanel, snippetSettings, DynamicFieldContext{clock, "", "", &clipboard},
              tutorialManager.shouldShowTutorial(),
              [this] {
                  return std::make_unique<TutorialPresenter>(TutorialPresenter::Collaborators{
                      tutorialManager, defaults, analytics, desktop::QtMainQueue::shared(), clock, snippetSettings});
              },
              // Each editor generates through a client of its own over the one APIClient.
              [this](QObject* parent) {
                  return new AIGenerationViewModel(std::make_shared<ProxyService>(apiClient, auth), analytics,
                                                   desktop::QtMainQueue::shared(), parent);
              }),
          hotkeys(HotkeyManager::Collaborators{
              .userDefaults = defaults,
              .grabber = hotkeyGrabber,
              .keyLayout = keyLayout,
              .mainQueue = desktop::QtMainQueue::shared(),
              .toggleApplication = [this] { mainWindow.toggleApplication(); },
          }),
          templates(
              library, snippetSettings, defaults, apiClient, clock, [this] { engine.refreshSnippetCache(); }, notifier,
              analytics),
          referrals(auth, apiClient, analytics),
          referralsSection(referrals, clipboard),
          settings(SettingsPresenter::Collaborators{
              .windowState = windowState,
              .hotkeyManager = hotkeys,
              .recorder = hotkeyRecorder,
              .snippetSettings = snippetSettings,
              .authManager = auth,
              .teamManager = teams,
              .analytics = analytics,
              .tutorial = tutorialManager,
              .client = apiClient,
              .workspace = workspace,
              .websiteURL = environment.websiteBaseURL(),
              .appVersion = SABLIX_VERSION,
              .buildNumber = SABLIX_BUILD,
              .osVersion = platform::DeviceInfo::current(SABLIX_VERSION, SABLIX_BUILD).osVersion,
          }),
          mainWindow(workspace, QVariantMap{{"updates", QVariant::fromValue<QObject*>(&checkForUpdates)},
                                            {"appVersion", QStringLiteral(SABLIX_VERSION)},
                                            {"middlePanelModel", QVariant::fromValue(&middlePanel)},
                                            {"rightPanelModel", QVariant::fromValue(&rightPanel)},
                                            {"tagSidebarModel", QVariant::fromValue(&tagSidebar)},
                                            {"windowState", QVariant::fromValue(&windowState)},
                                            {"updateNotice", QVariant::fromValue(&updateNotice)},
                                            {"detailPresenter", QVariant::fromValue(&detailPresenter)},
                                            {"teamSelector", QVariant::fromValue(&teamSelector)},
                                            {"teamSettings", QVariant::fromValue(&teamSettings)},
                                            {"settings", QVariant::fromValue(&settings)},
                                            {"referralsSection", QVariant::fromValue(&referralsSection)}}),
          deepLinks(auth, teams, templates, [this] { mainWindow.showAndActivate(); }),
          syncEngine(sync, network, [this] { return teams.selectedTeamId(); }),
          delegate(AppDelegate::Collaborators{
              .textReplacer = engine,
              .defaults = defaults,
              .analytics = analytics,
              .updater = &updater,
              .checkForUpdate = [this] { updateChecker.checkForUpdate(); },
              .checkPendingInstall = [this] { return templates.checkPendingInstall(); },
              .registerHotkey = [this] { hotkeys.registerHotkey(); },
              .unregisterHotkey = [this] { hotkeys.unregisterHotkey(); },
              .stopSync = [this] { syncEngine.stop(); },
              .watchdogInterval = options.watchdogInterval,
          }) {
        // A selection our own Qt owns (the user copied in the fill-in dialog) is read from Qt
        // directly on the GUI thread, which would otherwise wait for itself.
        clipboard.setInProcessOwner(qtSelections);
        primarySelection.setInProcessOwner(qtSelections);
        // A replayed tutorial takes the detail column from whatever snippet was shown.
        QObject::connect(&notifier, &AppNotifier::replayTutorial, &detailPresenter,
                         &SnippetDetailPresenter::replayTutorial);
        QObject::connect(&notifier, &AppNotifier::replayTutorial, &windowState, &MainWindowState::clearSelection);
        // A sign-in is the only change of the published user to someone: the team data of whoever
        // held it before goes now, ahead of the team list and the first sync of the new user.
        QObject::connect(&auth, &AuthManager::currentUserChanged, &auth, [this] {
            if (const auto user = signedInUser()) teamDataOwner.signedIn(*user);
        });
        // Ends the event loop as a termination signal does; main then shuts down in order.
        QObject::connect(&mainWindow, &MainWindowController::quitRequested, qApp, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    }

    std::optional<platform::Uuid> signedInUser() const {
        return auth.currentUser() ? std::optional(auth.currentUser()->id) : std::nullopt;
    }

    StorageFolders storageFolders{
        {platform::Paths::defaultsFile().parent_path(), platform::Paths::applicationSupport()}};

    // The present moment of everything that reads time.
    platform::SystemClock clock;
    desktop::X11KeyLayout keyLayout;
    desktop::X11KeyPoster keyPoster;
    desktop::X11KeyboardGrab keyboardGrab;
    desktop::X11Workspace workspace;
    desktop::X11Accessibility accessibility;
    desktop::X11Pasteboard clipboard{{}, desktop::X11Pasteboard::Selection::clipboard};
    desktop::X11Pasteboard primarySelection{{}, desktop::X11Pasteboard::Selection::primary};
    std::shared_ptr<desktop::QtSelectionOwner> qtSelections = std::make_shared<desktop::QtSelectionOwner>();
    // The library, which can be large, in a file of its own: changing a setting never rewrites it.
    platform::FileDefaults defaults{platform::Paths::defaultsFile(), {SnippetController::kSavedSnippetItemsKey}};
    // Every reader and writer of the library shares its decode: it is decoded once at start.
    SnippetLibraryCache libraryCache;
    AppEnvironment environment;
    OrbitAnalyticsClient analyticsClient{
        defaults,
        analyticsApplicationInfo(),
        [](std::function<void()> task) { desktop::QtMainQueue::shared().async(std::move(task)); },
        {}};
    // Activation, deactivation and the screen size reach the analytics library from here.
    orbitqt::OrbitQtLifecycle analyticsLifecycle{*qGuiApp, analyticsClient.client()};
    AnalyticsService analytics;
    TeamSnippetCache teamSnippets;
    TeamDataOwner teamDataOwner{teamSnippets, defaults};
    FillInFieldsWindowController fillInController;
    HopLog hopLog;
    TextReplacer engine;
    AppNotifier notifier;
    TutorialManager tutorialManager{defaults, analytics, notifier};
    SnippetController library{defaults, clock, &libraryCache};
    APIClient apiClient{environment};
    Updater updater;
    UpdateChecker updateChecker;
    CheckForUpdatesViewModel checkForUpdates;
    std::unique_ptr<CredentialStore> keychain = openCredentialStore(platform::Paths::applicationSupport());
    // The two hand work to each other: the account manager only keeps its reference to the team
    // manager made right after it, and first uses it when a sign-in completes; the team manager
    // empties itself when the account's session ends.
    AuthManager auth;
    TeamManager teams;
    NetworkMonitor network;
    SyncService sync;
    // The main window's models; loading the library stores the starter snippets on a first start.
    SnippetSettings snippetSettings{defaults};
    MiddlePanelModel middlePanel;
    RightPanelModel rightPanel{clock};
    TagSidebarModel tagSidebar;
    MainWindowState windowState;
    MainWindowTeams windowTeams;
    TeamSelectorPresenter teamSelector;
    TeamSettingsPresenter teamSettings;
    UpdateNotice updateNotice;
    SnippetDetailPresenter detailPresenter;
    desktop::X11HotkeyGrabber hotkeyGrabber;
    HotkeyManager hotkeys;
    desktop::X11LocalKeyMonitor keyMonitor;
    HotkeyRecorder hotkeyRecorder{hotkeys, keyMonitor, keyLayout};
    TemplateInstallService templates;
    ReferralManager referrals;
    ReferralsSettingsSectionPresenter referralsSection;
    SettingsPresenter settings;
    // The window binds to everything above, so it goes before any of it.
    MainWindowController mainWindow;
    ItemProbe itemProbe{[this] { return mainWindow.window(); }};
    DeepLinkDispatcher deepLinks;
    SyncEngine syncEngine;
    AppDelegate delegate;
};

Application::Application(Options options)
    : services_(std::make_unique<Services>(options)), options_(std::move(options)) {}

Application::~Application() = default;

void Application::start() {
    Services& s = *services_;
    if (AppDelegate::isUnitTestHost()) {
        // No window, no link handler, no links: a test host runs none of the application.
        s.delegate.applicationDidFinishLaunching();
        return;
    }
    // The keystroke tap first: its thread registers while the main thread builds the window's
    // scene, which takes longer than anything else at launch.
    s.delegate.applicationDidFinishLaunching();
    s.mainWindow.showAndActivate();
    s.windowTeams.contentShown();

    // This binary handles sablix links: a browser or xdg-open starts it with the link, and a
    // start while it runs hands the link over to this instance.
    desktop::SchemeHandlerRegistration(
        platform::Paths::dataHome() / "applications", QCoreApplication::applicationFilePath().toStdString(),
        desktop::SchemeHandlerRegistration::xdgMimeRunner(), {ApplicationIcon::kThemeName, ApplicationIcon::svg()})
        .registerHandler();
    if (options_.instance)
        options_.instance->setReceiver([&s](std::vector<std::string> links) {
            // Started again with nothing to open: the user wants the application back.
            if (links.empty())
                s.mainWindow.showAndActivate();
            else
                s.deepLinks.open(links);
        });
    if (!options_.launchLinks.empty()) s.deepLinks.open(options_.launchLinks);
}

void Application::shutDown() {
    if (options_.instance) options_.instance->setReceiver(nullptr);
    services_->delegate.applicationWillTerminate();
    services_->apiClient.cancelAll();
    services_->engine.shutDown();
    services_->clipboard.handOverToClipboardManager();
}

}  // namespace sablix
