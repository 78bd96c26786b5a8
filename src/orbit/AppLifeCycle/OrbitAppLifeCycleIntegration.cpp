#include "orbit/AppLifeCycle/OrbitAppLifeCycleIntegration.h"

#include <atomic>

#include "orbit/DI.h"
#include "orbit/OrbitSDK.h"
#include "orbit/Utils/BundleInfo.h"
#include "orbit/Utils/HedgeLog.h"

namespace orbit {
namespace {

// Process-wide: one instance at a time has this integration installed.
std::atomic<bool> integrationInstalled{false};
// An exchange: two instances installing at once on two threads still check only once.
std::atomic<bool> didCaptureAppInstallOrUpdate{false};

}  // namespace

OrbitAppLifeCycleIntegration::OrbitAppLifeCycleIntegration(AppLifecyclePublishing* publisher)
    : publisher_(publisher ? *publisher : DI::main().appLifecyclePublisher()) {}

OrbitIntegrationInstallResult OrbitAppLifeCycleIntegration::install(OrbitSDK& sdk) {
    if (integrationInstalled.exchange(true))
        return OrbitIntegrationInstallResult::skip(OrbitIntegrationInstallSkipReason::alreadyInstalled);
    {
        std::lock_guard lock(lock_);
        orbit_ = sdk.weak_from_this();
    }
    start();
    captureAppInstallOrUpdated();
    return OrbitIntegrationInstallResult::installed();
}

void OrbitAppLifeCycleIntegration::uninstall(OrbitSDK& sdk) {
    std::unique_ptr<RegistrationToken> finishLaunching, becomeActive, enterBackground;
    {
        std::lock_guard lock(lock_);
        const auto current = orbit_.lock();
        if (current && current.get() != &sdk) return;
        finishLaunching = std::move(didFinishLaunchingToken_);
        becomeActive = std::move(didBecomeActiveToken_);
        enterBackground = std::move(didEnterBackgroundToken_);
        orbit_.reset();
    }
    // Unsubscribed outside the lock: a callback running meanwhile may need it.
    finishLaunching.reset();
    becomeActive.reset();
    enterBackground.reset();
    integrationInstalled = false;
}

void OrbitAppLifeCycleIntegration::start() {
    const std::weak_ptr<OrbitAppLifeCycleIntegration> weak = weak_from_this();
    auto finishLaunching = publisher_.onDidFinishLaunching.subscribe([weak](std::monostate) {
        if (const auto self = weak.lock()) self->captureAppInstallOrUpdated();
    });
    auto becomeActive = publisher_.onDidBecomeActive.subscribe([weak](std::monostate) {
        if (const auto self = weak.lock()) self->captureAppOpened();
    });
    auto enterBackground = publisher_.onDidEnterBackground.subscribe([weak](std::monostate) {
        if (const auto self = weak.lock()) self->captureAppBackgrounded();
    });
    std::lock_guard lock(lock_);
    didFinishLaunchingToken_ = std::move(finishLaunching);
    didBecomeActiveToken_ = std::move(becomeActive);
    didEnterBackgroundToken_ = std::move(enterBackground);
}

void OrbitAppLifeCycleIntegration::captureAppInstallOrUpdated() {
    std::shared_ptr<OrbitSDK> orbit;
    {
        std::lock_guard lock(lock_);
        orbit = orbit_.lock();
    }
    if (!orbit) return;
    if (didCaptureAppInstallOrUpdate.exchange(true)) return;
    if (!orbit->config()->captureApplicationLifecycleEvents) {
        hedgeLog(
            "Skipping Application Installed/Application Updated event - captureApplicationLifecycleEvents is "
            "disabled in configuration");
        return;
    }
    const auto& info = orbit->host().applicationInfo;
    const auto version = appVersionString(info);
    const auto build = info.build;
    auto& defaults = *orbit->host().defaults;
    const auto previousVersion = defaults.string(versionKey);
    const auto previousBuild = defaults.string(buildKey);

    std::string event;
    auto properties = nlohmann::json::object();
    if (!previousBuild) {
        event = "Application Installed";
    } else if (build && *build == *previousBuild) {
        return;
    } else {
        event = "Application Updated";
        if (previousVersion) properties["previous_version"] = *previousVersion;
        properties["previous_build"] = parseBundleVersion(*previousBuild);
    }
    if (version) {
        properties["version"] = *version;
        defaults.setString(versionKey, *version);
    }
    if (build) {
        properties["build"] = parseBundleVersion(*build);
        defaults.setString(buildKey, *build);
    }
    if (version || build) defaults.synchronize();
    orbit->capture(event, properties);
}

void OrbitAppLifeCycleIntegration::captureAppOpened() {
    std::shared_ptr<OrbitSDK> orbit;
    nlohmann::json properties;
    {
        std::lock_guard lock(lock_);
        orbit = orbit_.lock();
        if (!orbit) return;
        if (!isAppBackgrounded_) {
            hedgeLog("Skipping Application Opened event - app already in foreground");
            return;
        }
        isAppBackgrounded_ = false;
        if (!orbit->config()->captureApplicationLifecycleEvents) {
            hedgeLog(
                "Skipping Application Opened event - captureApplicationLifecycleEvents is disabled in "
                "configuration");
            return;
        }
        properties = {{"from_background", !isFreshAppLaunch_}};
        if (isFreshAppLaunch_) {
            const auto& info = orbit->host().applicationInfo;
            if (const auto version = appVersionString(info)) properties["version"] = *version;
            if (info.build) properties["build"] = parseBundleVersion(*info.build);
            isFreshAppLaunch_ = false;
        }
    }
    orbit->capture("Application Opened", properties);
}

void OrbitAppLifeCycleIntegration::captureAppBackgrounded() {
    std::shared_ptr<OrbitSDK> orbit;
    {
        std::lock_guard lock(lock_);
        orbit = orbit_.lock();
        if (!orbit || isAppBackgrounded_) return;
        isAppBackgrounded_ = true;
        if (!orbit->config()->captureApplicationLifecycleEvents) {
            hedgeLog(
                "Skipping Application Backgrounded event - captureApplicationLifecycleEvents is disabled in "
                "configuration");
            return;
        }
    }
    orbit->capture("Application Backgrounded");
}

}  // namespace orbit
