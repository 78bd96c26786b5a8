#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Shell/Environment/AppEnvironment.h"

namespace desktop {
class SingleInstance;
}

namespace sablix {

// The composition root: creates every process-wide service of the application in one ordered
// place and hands each its collaborators. Services are destroyed in the reverse order, so nothing
// outlives what it uses. The only code outside desktop/x11 that names the X11 layers.
// Create it on the main thread after the QGuiApplication.
class Application {
public:
    struct Options {
        std::chrono::milliseconds watchdogInterval;
        AppEnvironment::Kind environment = AppEnvironment::kBuildKind;
        // The guard this process won as the running instance, when it has one; links that later
        // starts hand over arrive through it. It must outlive the application.
        desktop::SingleInstance* instance = nullptr;
        // Links given on the command line, opened once the application has started.
        std::vector<std::string> launchLinks;
    };

    explicit Application(Options options);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Start-up once the event loop can run: the window, the launch sequence, the link handler.
    void start();
    // At quit, before anything is destroyed: stops the tap, the hot key and the timers, lets the
    // engine finish its work (a pending clipboard restore included), then hands the clipboard to
    // the desktop's clipboard manager so it outlives the process.
    void shutDown();

private:
    struct Services;
    std::unique_ptr<Services> services_;
    Options options_;
};

}  // namespace sablix
