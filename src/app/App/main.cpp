#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "App/AppDelegate.h"
#include "App/Application.h"
#include "Shared/Views/SceneGraphBackend.h"
#include "Shared/Views/ApplicationIcon.h"
#include "Shared/Views/SymbolIcons.h"
#include "desktop/QtMessageLog.h"
#include "desktop/SingleInstance.h"
#include "platform/Log.h"
#include "posix/LogText.h"

namespace {

constexpr const char* kApplicationName = "Sablix";
constexpr const char* kWatchdogOption = "watchdog-interval";
constexpr const char* kWatchdogOptionHelp = "Seconds between checks of the keystroke tap (for tests).";
constexpr const char* kBadWatchdogInterval = "sablix: --watchdog-interval needs a positive number of seconds\n";
constexpr const char* kLinksArgument = "links";
constexpr const char* kLinksArgumentHelp = "sablix:// links to open.";
// Selects the backend environment ("production", "test" or "development") for development and
// tests; development reads its base-URL overrides from the settings.
constexpr const char* kEnvironmentVariable = "SABLIX_ENVIRONMENT";
constexpr const char* kLinksNotDelivered =
    "sablix: the link was not delivered: another Sablix is running but did not acknowledge it; "
    "not starting a second one\n";
constexpr const char* kNotShown = "sablix: another Sablix is running but did not answer; not starting a second one\n";

int signalPipe[2] = {-1, -1};

void forwardSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

sablix::AppEnvironment::Kind environmentKind() {
    const QByteArray name = qgetenv(kEnvironmentVariable);
    if (name == "development") return sablix::AppEnvironment::Kind::development;
    if (name == "test") return sablix::AppEnvironment::Kind::test;
    if (!name.isEmpty() && name != "production")
        platform::appLog("Environment")
            .error("Unknown %s \"%s\"; using the build's environment", kEnvironmentVariable,
                   posix::escapedForLog(name.toStdString()).c_str());
    return sablix::AppEnvironment::kBuildKind;
}

// SIGTERM and SIGINT end the event loop like a normal quit, so the shutdown steps run.
void quitOnTerminationSignals(QGuiApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {}
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
    desktop::routeQtMessagesToLog();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(kApplicationName);
    // Closing the main window hides it; the expander keeps running.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    sablix::SymbolIcons::useFallbackTheme();
    sablix::ApplicationIcon::useForWindows();
    sablix::chooseSceneGraphBackend();

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(QCommandLineOption(kWatchdogOption, kWatchdogOptionHelp, "seconds"));
    parser.addPositionalArgument(kLinksArgument, kLinksArgumentHelp, "[links...]");
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

    std::vector<std::string> links;
    for (const QString& link : parser.positionalArguments()) links.push_back(link.toStdString());

    // One running Sablix per user: a later start hands its links to it, or asks it to show its
    // window, and ends.
    std::unique_ptr<desktop::SingleInstance> instance;
    if (const auto socketPath = desktop::SingleInstance::defaultSocketPath()) {
        instance = std::make_unique<desktop::SingleInstance>(*socketPath);
        switch (instance->claim(links)) {
        case desktop::SingleInstance::Claim::Primary:
            links.clear();  // the instance keeps them for the receiver
            break;
        case desktop::SingleInstance::Claim::Forwarded: return 0;
        case desktop::SingleInstance::Claim::NotForwarded:
            std::fputs(links.empty() ? kNotShown : kLinksNotDelivered, stderr);
            return 1;
        case desktop::SingleInstance::Claim::Unavailable: instance.reset(); break;
        }
    }

    quitOnTerminationSignals(app);

    sablix::Application application(sablix::Application::Options{
        .watchdogInterval = watchdogInterval,
        .environment = environmentKind(),
        .instance = instance.get(),
        .launchLinks = std::move(links),
    });
    application.start();
    const int status = app.exec();
    application.shutDown();
    return status;
}
