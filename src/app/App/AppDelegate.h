#pragma once
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

#include <QCoro/QCoroTask>

#include "platform/Defaults.h"
#include "platform/Log.h"

namespace sablix {

class TextReplacer;
class AnalyticsTracking;
class Updater;

// Start-up and shutdown of the application around the expansion engine: starts the update
// checks, analytics and the pending template install, waits for the permission to watch keys,
// starts the tap and the hot key, and restarts the tap whenever a watchdog finds it down.
// Lives on the main thread; its timers run on the Qt event loop.
class AppDelegate final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kPermissionPollInterval{1000};
    static constexpr std::chrono::seconds kWatchdogInterval{300};
    static constexpr std::chrono::seconds kUpdateCheckInterval{14'400};
    static constexpr std::chrono::milliseconds kUpdateCheckDelay{3000};
    static constexpr const char* kStartBanner = "\n=== Starting App with Permissions Granted ===";
    // Set in a process that hosts unit tests of the application: launching then starts nothing.
    static constexpr const char* kTestHostVariable = "SABLIX_UNIT_TEST_HOST";
    static bool isUnitTestHost();

    struct Collaborators {
        TextReplacer& textReplacer;
        platform::Defaults& defaults;
        AnalyticsTracking& analytics;
        Updater* updater = nullptr;  // none where a test leaves updates out
        // The check behind the update notice, run once a little after launch.
        std::function<void()> checkForUpdate;
        std::function<QCoro::Task<>()> checkPendingInstall;
        std::function<void()> registerHotkey;
        std::function<void()> unregisterHotkey;
        std::function<void()> stopSync;
        std::chrono::milliseconds watchdogInterval = kWatchdogInterval;
    };

    explicit AppDelegate(Collaborators collaborators, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    bool isWaitingForPermission() const { return permissionObserverTimer_ != nullptr; }
    bool isStarted() const { return resetTimer_ != nullptr; }

private:
    void configureAndStartUpdater();
    void checkInitialPermissions();
    void startPermissionObserver();
    void startApp();
    void checkTap();

    Collaborators c_;
    platform::Log logger_ = platform::appLog("AppDelegate");
    QTimer* resetTimer_ = nullptr;
    QTimer* permissionObserverTimer_ = nullptr;
};

}  // namespace sablix
