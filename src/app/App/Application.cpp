#include "App/Application.h"

#include <unistd.h>

#include "App/AppDelegate.h"
#include "Controllers/SnippetController.h"
#include "Models/Analytics/AnalyticsService.h"
#include "Models/Analytics/LoggingAnalyticsClient.h"
#include "Models/Environment/AppEnvironment.h"
#include "Models/Sync/TeamSnippetCache.h"
#include "TextReplacer.h"
#include "Views/FillInFieldsWindowController.h"
#include "desktop/QtMainQueue.h"
#include "desktop/x11/QtSelectionOwner.h"
#include "desktop/x11/X11Accessibility.h"
#include "desktop/x11/X11KeyLayout.h"
#include "desktop/x11/X11KeyPoster.h"
#include "desktop/x11/X11KeyTap.h"
#include "desktop/x11/X11Pasteboard.h"
#include "desktop/x11/X11Workspace.h"
#include "platform/DeviceInfo.h"
#include "platform/FileDefaults.h"
#include "platform/Paths.h"

namespace sablix {

// Members in construction order: each is made after everything it uses.
struct Application::Services {
    explicit Services(Options options)
        : analytics(defaults, analyticsClient, AppEnvironment(AppEnvironment::kBuildKind, &defaults),
                    platform::DeviceInfo::current(SABLIX_VERSION, SABLIX_BUILD)),
          teamSnippets(TeamSnippetCache::databaseURL()),
          fillInController(workspace, desktop::QtMainQueue::shared()),
          engine(TextReplacer::Collaborators{
              .makeTap = [] { return std::make_unique<desktop::X11KeyTap>(); },
              .keyLayout = keyLayout,
              .keyPoster = keyPoster,
              .pasteboard = clipboard,
              .primarySelection = primarySelection,
              .workspace = workspace,
              .accessibility = accessibility,
              .defaults = defaults,
              .loadTeamSnippets = TextReplacer::teamSnippetLoader(teamSnippets),
              .analytics = analytics,
              .fillInController = fillInController,
              .ownProcessIdentifier = static_cast<int64_t>(::getpid()),
              .sleep = nullptr,
              .restoreTimer = nullptr,
          }),
          delegate(engine, defaults, analytics, options.watchdogInterval) {
        // A selection our own Qt owns (the user copied in the fill-in dialog) is read from Qt
        // directly on the GUI thread, which would otherwise wait for itself.
        clipboard.setInProcessOwner(qtSelections);
        primarySelection.setInProcessOwner(qtSelections);
    }

    desktop::X11KeyLayout keyLayout;
    desktop::X11KeyPoster keyPoster;
    desktop::X11Workspace workspace;
    desktop::X11Accessibility accessibility;
    desktop::X11Pasteboard clipboard{{}, desktop::X11Pasteboard::Selection::clipboard};
    desktop::X11Pasteboard primarySelection{{}, desktop::X11Pasteboard::Selection::primary};
    std::shared_ptr<desktop::QtSelectionOwner> qtSelections = std::make_shared<desktop::QtSelectionOwner>();
    // The library, which can be large, in a file of its own: changing a setting never rewrites it.
    platform::FileDefaults defaults{platform::Paths::defaultsFile(), {SnippetController::kSavedSnippetItemsKey}};
    LoggingAnalyticsClient analyticsClient;
    AnalyticsService analytics;
    TeamSnippetCache teamSnippets;
    FillInFieldsWindowController fillInController;
    TextReplacer engine;
    AppDelegate delegate;
};

Application::Application(Options options) : services_(std::make_unique<Services>(options)) {}

Application::~Application() = default;

void Application::start() { services_->delegate.applicationDidFinishLaunching(); }

void Application::shutDown() {
    services_->delegate.applicationWillTerminate();
    services_->engine.shutDown();
    services_->clipboard.handOverToClipboardManager();
}

}  // namespace sablix
