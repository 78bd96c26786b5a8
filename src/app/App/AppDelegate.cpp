#include "App/AppDelegate.h"

#include <cstdio>

#include "Controllers/SnippetController.h"
#include "Models/Analytics/AnalyticsEvent.h"
#include "Models/Analytics/AnalyticsTracking.h"
#include "TextReplacer.h"
#include "platform/Log.h"

namespace sablix {
AppDelegate::AppDelegate(TextReplacer& textReplacer, platform::Defaults& defaults, AnalyticsTracking& analytics,
                         std::chrono::milliseconds watchdogInterval, QObject* parent)
    : QObject(parent),
      textReplacer_(textReplacer),
      defaults_(defaults),
      analytics_(analytics),
      watchdogInterval_(watchdogInterval) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    // The updater and the pending template install go before analytics once they are wired;
    // the permission check stays last.
    analytics_.initialize();
    analytics_.track(AnalyticsEvent::appLaunch);
    installStarterSnippetsIfNeeded();
    checkInitialPermissions();
}

void AppDelegate::applicationWillTerminate() {
    if (resetTimer_) {
        resetTimer_->stop();
        resetTimer_->deleteLater();
        resetTimer_ = nullptr;
    }
    if (permissionObserverTimer_) {
        permissionObserverTimer_->stop();
        permissionObserverTimer_->deleteLater();
        permissionObserverTimer_ = nullptr;
    }
    textReplacer_.unregister();
    // The hot key and the sync engine are stopped here once they exist.
}

void AppDelegate::installStarterSnippetsIfNeeded() {
    // A fresh installation gets the starter snippets so that ";addr", ";sig" and ";tyvm" work at
    // once; an existing library (even an empty or unreadable one) is never overwritten, and a
    // store that did not read cleanly may hold a library it could not read.
    if (defaults_.contains(SnippetController::kSavedSnippetItemsKey)) return;
    if (const std::string error = defaults_.loadError(); !error.empty()) {
        platform::appLog("AppDelegate")
            .error("Not installing the starter snippets: the stored settings did not read cleanly (%s)", error.c_str());
        return;
    }
    SnippetController controller(defaults_);
    if (controller.saveItems(controller.populateInitialItems())) textReplacer_.refreshSnippetCache();
}

void AppDelegate::checkInitialPermissions() {
    if (textReplacer_.checkAccessibilityPermissions()) {
        startApp();
        return;
    }
    // X11 has no permission dialog to tell the user why nothing expands; the engine's refusal
    // to register (which starts nothing) puts the reason in the log.
    textReplacer_.registerTap();
    QMetaObject::invokeMethod(
        this, [this] { startPermissionObserver(); }, Qt::QueuedConnection);
}

void AppDelegate::startPermissionObserver() {
    if (permissionObserverTimer_) {
        permissionObserverTimer_->stop();
        permissionObserverTimer_->deleteLater();
    }
    permissionObserverTimer_ = new QTimer(this);
    permissionObserverTimer_->setInterval(kPermissionPollInterval);
    connect(permissionObserverTimer_, &QTimer::timeout, this, [this] {
        if (!textReplacer_.checkAccessibilityPermissions()) return;
        if (permissionObserverTimer_) {
            permissionObserverTimer_->stop();
            permissionObserverTimer_->deleteLater();
            permissionObserverTimer_ = nullptr;
        }
        startApp();
    });
    permissionObserverTimer_->start();
}

void AppDelegate::startApp() {
    std::printf("%s\n", kStartBanner);
    std::fflush(stdout);
    // Torn down first, so a tap left from an earlier attempt never runs twice.
    textReplacer_.unregister();
    textReplacer_.registerTap();
    // The global hot key is registered here once it exists.

    if (resetTimer_) resetTimer_->deleteLater();
    resetTimer_ = new QTimer(this);
    resetTimer_->setInterval(watchdogInterval_);
    connect(resetTimer_, &QTimer::timeout, this, &AppDelegate::checkTap);
    resetTimer_->start();
}

void AppDelegate::checkTap() {
    if (!textReplacer_.isRegistered()) textReplacer_.reset();
}

}  // namespace sablix
