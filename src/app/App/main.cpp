#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "App/AppDelegate.h"
#include "Models/AnalyticsService.h"
#include "Models/AppEnvironment.h"
#include "Models/LoggingAnalyticsClient.h"
#include "Models/TeamSnippetCache.h"
#include "TextReplacer.h"
#include "Views/FillInFieldsWindowController.h"
#include "desktop/QtMainQueue.h"
#include "desktop/X11Accessibility.h"
#include "desktop/X11KeyLayout.h"
#include "desktop/X11KeyPoster.h"
#include "desktop/X11KeyTap.h"
#include "desktop/QtSelectionOwner.h"
#include "desktop/X11Pasteboard.h"
#include "desktop/X11Workspace.h"
#include "platform/DeviceInfo.h"
#include "platform/FileDefaults.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kApplicationName = "Sablix";
constexpr const char* kWatchdogOption = "watchdog-interval";
constexpr const char* kWatchdogOptionHelp = "Seconds between checks of the keystroke tap (for tests).";
constexpr const char* kBadWatchdogInterval = "sablix: --watchdog-interval needs a positive number of seconds\n";

int signalPipe[2] = {-1, -1};

void forwardSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop like a normal quit, so the shutdown steps run.
void quitOnTerminationSignals(QGuiApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(kApplicationName);
    // No main window yet: closing the fill-in dialog must not end the application.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(QCommandLineOption(kWatchdogOption, kWatchdogOptionHelp, "seconds"));
    parser.process(app);
    std::chrono::milliseconds watchdogInterval = sablix::AppDelegate::kWatchdogInterval;
    if (parser.isSet(kWatchdogOption)) {
        bool ok = false;
        const double seconds = parser.value(kWatchdogOption).toDouble(&ok);
        if (!ok || seconds <= 0) {
            std::fputs(kBadWatchdogInterval, stderr);
            return 2;
        }
        watchdogInterval = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    }

    quitOnTerminationSignals(app);

    // The process-wide objects, each made before the ones that use it, so that leaving main
    // destroys every user before what it uses.
    desktop::X11KeyLayout keyLayout;
    desktop::X11KeyPoster keyPoster;
    desktop::X11Workspace workspace;
    desktop::X11Accessibility accessibility;
    desktop::X11Pasteboard clipboard;
    desktop::X11Pasteboard primarySelection({}, desktop::X11Pasteboard::Selection::primary);
    // A selection our own Qt owns (the user copied in the fill-in dialog) is read from Qt directly
    // on the GUI thread, which would otherwise wait for itself.
    const auto qtSelections = std::make_shared<desktop::QtSelectionOwner>();
    clipboard.setInProcessOwner(qtSelections);
    primarySelection.setInProcessOwner(qtSelections);
    platform::FileDefaults defaults(platform::Paths::defaultsFile());
    sablix::LoggingAnalyticsClient analyticsClient;
    sablix::AnalyticsService analytics(defaults, analyticsClient,
                                       sablix::AppEnvironment(sablix::AppEnvironment::kBuildKind, &defaults),
                                       platform::DeviceInfo::current(SABLIX_VERSION, SABLIX_BUILD));
    sablix::FillInFieldsWindowController fillInController(workspace, desktop::QtMainQueue::shared());
    sablix::TextReplacer engine(sablix::TextReplacer::Collaborators{
        .makeTap = [] { return std::make_unique<desktop::X11KeyTap>(); },
        .keyLayout = keyLayout,
        .keyPoster = keyPoster,
        .pasteboard = clipboard,
        .primarySelection = primarySelection,
        .workspace = workspace,
        .accessibility = accessibility,
        .defaults = defaults,
        .loadTeamSnippets = sablix::TextReplacer::teamSnippetLoader(sablix::TeamSnippetCache::shared()),
        .analytics = analytics,
        .fillInController = fillInController,
        .ownProcessIdentifier = static_cast<int64_t>(::getpid()),
        .sleep = nullptr,
        .restoreTimer = nullptr,
    });
    sablix::AppDelegate delegate(engine, defaults, watchdogInterval);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] { delegate.applicationWillTerminate(); });
    delegate.applicationDidFinishLaunching();
    const int status = app.exec();

    // The engine finishes its work while everything it uses still exists; only then can the
    // clipboard, holding the user's own content again, be handed to a clipboard manager.
    engine.shutDown();
    clipboard.handOverToClipboardManager();
    return status;
}
