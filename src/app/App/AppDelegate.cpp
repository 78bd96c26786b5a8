#include "App/AppDelegate.h"

#include <cstdio>

#include "Analytics/AnalyticsEvent.h"
#include "Analytics/AnalyticsTracking.h"
#include "Shell/Updates/Updater.h"
#include "Expansion/TextReplacer.h"

namespace sablix {
AppDelegate::AppDelegate(Collaborators collaborators, QObject* parent)
    : QObject(parent), c_(std::move(collaborators)) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::isUnitTestHost() { return qEnvironmentVariableIsSet(kTestHostVariable); }

void AppDelegate::applicationDidFinishLaunching() {
    if (isUnitTestHost()) {
        logger_.info("Unit-test host: nothing started");
        return;
    }
    configureAndStartUpdater();
    logger_.info("Starting analytics");
    c_.analytics.initialize();
    c_.analytics.track(AnalyticsEvent::appLaunch);
    if (c_.checkPendingInstall) {
        // Runs once the event loop is free again, after launching has finished.
        QTimer::singleShot(0, this, [this] {
            logger_.info("Checking for a pending template install");
            c_.checkPendingInstall();  // finishes on its own; nobody waits for it
        });
    }
    checkInitialPermissions();
}

void AppDelegate::configureAndStartUpdater() {
    if (c_.updater) {
        logger_.info("Starting the updater");
        c_.updater->setAutomaticallyChecksForUpdates(true);
        c_.updater->setUpdateCheckInterval(kUpdateCheckInterval);
        c_.updater->startUpdater();
    }
    if (c_.checkForUpdate) {
        QTimer::singleShot(kUpdateCheckDelay, this, [this] {
            logger_.info("Checking the update feed");
            c_.checkForUpdate();
        });
    }
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
    logger_.info("Shutting down: key tap");
    c_.textReplacer.unregister();
    logger_.info("Shutting down: hot key");
    if (c_.unregisterHotkey) c_.unregisterHotkey();
    logger_.info("Shutting down: sync");
    if (c_.stopSync) c_.stopSync();
}

void AppDelegate::checkInitialPermissions() {
    logger_.info("Checking the permission to watch keys");
    if (c_.textReplacer.checkAccessibilityPermissions()) {
        startApp();
        return;
    }
    // X11 has no permission dialog to tell the user why nothing expands; the engine's refusal
    // to register (which starts nothing) puts the reason in the log.
    c_.textReplacer.registerTap();
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
        if (!c_.textReplacer.checkAccessibilityPermissions()) return;
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
    c_.textReplacer.unregister();
    c_.textReplacer.registerTap();
    logger_.info("Registering the hot key");
    if (c_.registerHotkey) c_.registerHotkey();

    if (resetTimer_) resetTimer_->deleteLater();
    resetTimer_ = new QTimer(this);
    resetTimer_->setInterval(c_.watchdogInterval);
    connect(resetTimer_, &QTimer::timeout, this, &AppDelegate::checkTap);
    resetTimer_->start();
}

void AppDelegate::checkTap() {
    if (!c_.textReplacer.isRegistered()) c_.textReplacer.reset();
}

}  // namespace sablix
