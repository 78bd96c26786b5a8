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

    sablix::Application application(sablix::Application::Options{.watchdogInterval = watchdogInterval});
    application.start();
    const int status = app.exec();
    application.shutDown();
    return status;
}
