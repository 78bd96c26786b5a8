#pragma once
#include <QObject>
#include <QTimer>
#include <chrono>

#include "platform/Defaults.h"

namespace sablix {

class TextReplacer;
class AnalyticsTracking;

// Start-up and shutdown of the application around the expansion engine: waits for the
// permission to watch keys, starts the tap, and restarts it whenever a watchdog finds it down.
// Lives on the main thread; its timers run on the Qt event loop.
class AppDelegate final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kPermissionPollInterval{1000};
    static constexpr std::chrono::seconds kWatchdogInterval{300};
    static constexpr const char* kStartBanner = "\n=== Starting App with Permissions Granted ===";

    // watchdogInterval is kWatchdogInterval except where a test shortens it.
    AppDelegate(TextReplacer& textReplacer, platform::Defaults& defaults, AnalyticsTracking& analytics,
                std::chrono::milliseconds watchdogInterval = kWatchdogInterval, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    bool isWaitingForPermission() const { return permissionObserverTimer_ != nullptr; }
    bool isStarted() const { return resetTimer_ != nullptr; }

private:
    void installStarterSnippetsIfNeeded();
    void checkInitialPermissions();
    void startPermissionObserver();
    void startApp();
    void checkTap();

    TextReplacer& textReplacer_;
    platform::Defaults& defaults_;
    AnalyticsTracking& analytics_;
    std::chrono::milliseconds watchdogInterval_;
    QTimer* resetTimer_ = nullptr;
    QTimer* permissionObserverTimer_ = nullptr;
};

}  // namespace sablix
