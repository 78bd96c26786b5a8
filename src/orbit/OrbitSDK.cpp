#include "orbit/OrbitSDK.h"

#include <set>

#include "orbit/DI.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/Logs/OrbitLogger.h"
#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/Network/Reachability.h"
#include "orbit/OrbitApi.h"
#include "orbit/OrbitContext.h"
#include "orbit/OrbitNotificationCenter.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Queue/OrbitReplayQueue.h"
#include "orbit/Models/OrbitKnownUnsafeEditableEvent.h"
#include "orbit/ScreenViews/OrbitScreenNameSanitizer.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"
#include "orbit/Utils/TimeBasedEpochGenerator.h"

namespace orbit {
namespace {

// The tokens of every instance set up in the process.
struct ProjectTokens {
    std::mutex lock;
    std::set<std::string> tokens;
};

ProjectTokens& projectTokens() {
    static ProjectTokens* const instance = new ProjectTokens();
    return *instance;
}

OrbitHost completed(OrbitHost host) {
    if (host.mainQueue && host.defaults && host.containerResolver && host.now) return host;
    auto standard = OrbitHost::standard();
    if (!host.mainQueue) host.mainQueue = std::move(standard.mainQueue);
    if (!host.defaults) host.defaults = std::move(standard.defaults);
    if (!host.containerResolver) host.containerResolver = std::move(standard.containerResolver);
    if (!host.now) host.now = std::move(standard.now);
    return host;
}

}  // namespace

bool OrbitSDK::isUsableProjectToken(const std::string& token) {
    return !token.empty() && token != "." && token != ".." && token.find('/') == std::string::npos &&
           token.find('\0') == std::string::npos;
}

std::shared_ptr<OrbitSDK> OrbitSDK::make(std::shared_ptr<OrbitConfig> config, OrbitHost host) {
    if (!config) config = std::make_shared<OrbitConfig>("");
    return std::shared_ptr<OrbitSDK>(new OrbitSDK(std::move(config), completed(std::move(host))));
}

std::shared_ptr<OrbitSDK> OrbitSDK::shared() {
    static const auto* const instance =
        new std::shared_ptr<OrbitSDK>(make(std::make_shared<OrbitConfig>(""), OrbitHost::standard()));
    return *instance;
}

OrbitSDK::OrbitSDK(std::shared_ptr<OrbitConfig> config, OrbitHost host)
    : config_(std::move(config)),
      host_(std::move(host)),
      sessionManager_(std::make_unique<OrbitSessionManager>(host_.now)) {}

OrbitSDK::~OrbitSDK() {
    if (const auto reachability = reachability_.load()) reachability->stopNotifier();
    sessionIdChangedToken_.reset();
    uninstallIntegrations();
}

std::shared_ptr<OrbitSDK> OrbitSDK::with(std::shared_ptr<OrbitConfig> config, OrbitHost host) {
    const auto sdk = make(config, std::move(host));
    if (config) {
        std::lock_guard lock(sdk->setupLock_);
        sdk->setupBody(config);
    }
    return sdk;
}

bool OrbitSDK::isSetUp() {
    {
        std::lock_guard lock(setupLock_);
        if (enabled_) return true;
    }
    hedgeLog(setupGuardMessage);
    return false;
}

void OrbitSDK::debug(bool enabled) {
    std::lock_guard lock(setupLock_);
    if (enabled_)
        toggleHedgeLog(enabled);
    else
        hedgeLog(setupGuardMessage);
}

void OrbitSDK::setup(std::shared_ptr<OrbitConfig> config) {
    if (!config) return;
    std::lock_guard lock(setupLock_);
    setupBody(config);
}

void OrbitSDK::setupBody(const std::shared_ptr<OrbitConfig>& config) {
    toggleHedgeLog(config->debug);
    if (enabled_) {
        hedgeLog("Setup called despite already being setup!");
        return;
    }
    // A token that is not one path component would put the folder elsewhere, and a reset would
    // then delete files there: refused as an empty one is.
    if (!isUsableProjectToken(config->projectToken)) {
        hedgeLog("Orbit SDK will be disabled because projectToken or apiKey is empty.");
        return;
    }
    {
        auto& registry = projectTokens();
        std::lock_guard lock(registry.lock);
        if (!registry.tokens.insert(config->projectToken).second)
            hedgeLog("Project token: " + config->projectToken + " already has a Orbit instance.");
    }
    enabled_ = true;
    config_.store(config);

    const auto storage = std::make_shared<OrbitStorage>(*config, host_);
    const auto api = std::make_shared<OrbitApi>(config, host_.now);
    storage_.store(storage);
    api_.store(api);
    if (!config->storageManager) config->storageManager = std::make_shared<OrbitStorageManager>(*config, host_);
    // A device id exists from set-up on.
    config->storageManager->getDeviceId();

    const std::weak_ptr<OrbitSDK> weak = weak_from_this();
    remoteConfig_.store(OrbitRemoteConfig::create(
        config, storage, api,
        [weak] {
            const auto self = weak.lock();
            return self ? self->getDefaultPersonProperties() : nlohmann::json::object();
        },
        [weak](const std::string& flagKey, const std::optional<nlohmann::json>& flagValue) {
            if (const auto self = weak.lock()) self->reportFeatureFlagCalled(flagKey, flagValue);
        },
        host_.mainQueue, [](const std::string& name) { OrbitNotificationCenter::defaultCenter().post(name); }));

    const auto reachability = std::make_shared<Reachability>(std::make_unique<RtnetlinkFlagsSource>(), host_.mainQueue);
    reachability_.store(reachability);
    // The context reads the monitor for every event, also on threads still capturing after close():
    // it keeps the monitor alive.
    context_.store(
        std::shared_ptr<OrbitContext>(new OrbitContext(reachability.get(), OrbitContextSources{host_.applicationInfo}),
                                      [reachability](OrbitContext* context) { delete context; }));
    {
        std::lock_guard lock(optOutLock_);
        if (const auto stored = storage->getBool(OrbitStorage::StorageKey::optOut)) config->optOut = *stored;
    }

    const auto resourceAttributes = OrbitLogsOTLP::buildResourceAttributes(config->logs, host_.applicationInfo);
    auto logsEndpoint = holding(QueueEndpoint<OrbitLogRecord>::logs(*api, resourceAttributes), api);
    auto eventEndpoint = holding(QueueEndpoint<OrbitEvent>::batch(*api), api);
    const auto queue =
        OrbitQueue<OrbitEvent>::make(config, *storage, std::move(eventEndpoint), reachability.get(), host_.now);
    const auto replayQueue = std::make_shared<OrbitReplayQueue>(config, *storage, api, reachability.get(), host_.now);
    const auto logsQueue =
        OrbitQueue<OrbitLogRecord>::make(config, *storage, std::move(logsEndpoint), reachability.get(), host_.now);
    queue->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    replayQueue->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    logsQueue->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    queue_.store(queue);
    replayQueue_.store(replayQueue);
    logsQueue_.store(logsQueue);

    sessionManager_->setup(config);
    sessionManager_->startSession();
    sessionIdChangedToken_ = sessionManager_->onSessionIdChanged.subscribe([weak](std::monostate) {
        if (const auto self = weak.lock()) self->notifyContextDidChange();
    });
    setLogger(std::make_shared<OrbitLogger>(weak));

    if (!config->optOut) {
        installIntegrations();
        notifyContextDidChange();
    }
    if (!config->disableFlushOnBackgroundForTesting)
        didEnterBackgroundToken_ =
            DI::main().appLifecyclePublisher().onDidEnterBackground.subscribe([weak](std::monostate) {
                if (const auto self = weak.lock()) self->flush();
            });
    host_.mainQueue([] { OrbitNotificationCenter::defaultCenter().post(didStartNotification); });
}

std::string OrbitSDK::getDistinctId() {
    if (!isSetUp()) return "";
    const auto manager = config_->storageManager.load();
    return manager ? manager->getDistinctId() : "";
}

std::string OrbitSDK::getAnonymousId() {
    if (!isSetUp()) return "";
    const auto manager = config_->storageManager.load();
    return manager ? manager->getAnonymousId() : "";
}

std::string OrbitSDK::getDeviceId() {
    if (!isSetUp()) return "";
    const auto manager = config_->storageManager.load();
    return manager ? manager->getDeviceId() : "";
}

std::optional<std::string> OrbitSDK::getSessionId() {
    if (!isSetUp()) return std::nullopt;
    return sessionManager_->getSessionId(host_.now(), true);
}

void OrbitSDK::startSession() {
    if (isSetUp()) sessionManager_->startSession();
}

void OrbitSDK::endSession() {
    if (isSetUp()) sessionManager_->endSession();
}

void OrbitSDK::flush() {
    if (!isSetUp()) return;
    if (const auto queue = queue_.load()) queue->flush();
    // The replay queue has no buffer that could still be filling: its send queue always flushes.
    if (const auto replayQueue = replayQueue_.load()) replayQueue->flush();
    if (const auto logsQueue = logsQueue_.load()) logsQueue->flush();
}

std::shared_ptr<OrbitLogger> OrbitSDK::logger() {
    std::lock_guard lock(loggerLock_);
    return logger_;
}

void OrbitSDK::setLogger(std::shared_ptr<OrbitLogger> logger) {
    std::lock_guard lock(loggerLock_);
    logger_ = std::move(logger);
}

void OrbitSDK::setScreenSize(std::optional<OrbitScreenSize> size) {
    if (const auto context = context_.load()) context->setScreenSize(size);
}

bool OrbitSDK::isOptOut() {
    if (!isSetUp()) return true;
    return config_->optOut;
}

void OrbitSDK::optIn() {
    if (!isSetUp() || !isOptOut()) return;
    {
        std::lock_guard lock(optOutLock_);
        config_->optOut = false;
        if (const auto storage = storage_.load()) storage->setBool(OrbitStorage::StorageKey::optOut, false);
    }
    std::lock_guard lock(setupLock_);
    // A close() on another thread may have come first: nothing is left to install for.
    if (enabled_) installIntegrations();
}

void OrbitSDK::optOut() {
    if (!isSetUp() || config_->optOut) return;
    {
        std::lock_guard lock(optOutLock_);
        config_->optOut = true;
        if (const auto storage = storage_.load()) storage->setBool(OrbitStorage::StorageKey::optOut, true);
    }
    std::lock_guard lock(setupLock_);
    uninstallIntegrations();
}

void OrbitSDK::close() {
    if (!isSetUp()) return;
    {
        std::lock_guard lock(setupLock_);
        // Another thread's close() may have run between the guard and here.
        if (!enabled_) return;
        enabled_ = false;
        ++closes_;
        const auto config = config_.load();
        {
            auto& registry = projectTokens();
            std::lock_guard registryLock(registry.lock);
            registry.tokens.erase(config->projectToken);
        }
        // Nothing is flushed: what is queued stays in its files for the next set-up.
        if (const auto queue = queue_.exchange(nullptr)) queue->stop();
        if (const auto replayQueue = replayQueue_.exchange(nullptr)) replayQueue->stop();
        if (const auto logsQueue = logsQueue_.exchange(nullptr)) logsQueue->stop();
        if (const auto manager = config->storageManager.load()) {
            manager->reset(config->reuseAnonymousId, false);
            config->storageManager = nullptr;
        }
        config_.store(std::make_shared<OrbitConfig>(""));
        remoteConfig_.store(nullptr);
        storage_.store(nullptr);
        api_.store(nullptr);
        if (const auto reachability = reachability_.exchange(nullptr)) reachability->stopNotifier();
        {
            std::lock_guard flagsLock(flagCallReportedLock_);
            flagCallReported_.clear();
        }
        context_.store(nullptr);
        // Through the session manager itself: endSession() would stop at the guard, enabled_ being false.
        sessionManager_->endSession();
        didEnterBackgroundToken_.reset();
        setLogger(nullptr);
        toggleHedgeLog(false);
        uninstallIntegrations();
    }
    std::lock_guard lock(lastScreenLock_);
    lastScreenName_.reset();
}

void OrbitSDK::installIntegrations() {
    if (!installedIntegrations_.empty()) {
        hedgeLog("Integrations already installed. Call uninstallIntegrations() first.");
        return;
    }
    const auto config = config_.load();
    std::vector<std::shared_ptr<OrbitIntegration>> installed;
    for (const auto& integration : config->getIntegrations()) {
        const auto name = integration->typeName();
        if (integration->requiresSwizzling() && !config->enableSwizzling) {
            hedgeLog("Integration " + name +
                     " skipped. Integration requires swizzling but enableSwizzling is disabled in config");
            continue;
        }
        const auto result = integration->install(*this);
        if (result.skipped) {
            hedgeLog("Integration " + name + " skipped: " + description(*result.skipped));
            continue;
        }
        installed.push_back(integration);
        hedgeLog("Integration " + name + " installed");
    }
    installedIntegrations_ = std::move(installed);
}

void OrbitSDK::uninstallIntegrations() {
    std::lock_guard lock(setupLock_);
    for (const auto& integration : installedIntegrations_) {
        integration->uninstall(*this);
        hedgeLog("Integration " + integration->typeName() + " uninstalled");
    }
    installedIntegrations_.clear();
}

void OrbitSDK::notifyContextDidChange() {
    if (!isSetUp()) return;
    const auto distinctId = getDistinctId();
    const nlohmann::json context = {
        {"distinct_id", distinctId},
        {"event_properties",
         buildProperties(distinctId, std::nullopt, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt)}};
    // Opting in, out and closing replace the list on other threads: call a copy, outside the lock,
    // so that an integration may call back into the client.
    std::vector<std::shared_ptr<OrbitIntegration>> integrations;
    {
        std::lock_guard lock(setupLock_);
        integrations = installedIntegrations_;
    }
    for (const auto& integration : integrations) integration->contextDidChange(context);
}

}  // namespace orbit
