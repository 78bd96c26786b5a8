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
    if (reachability_) reachability_->stopNotifier();
    sessionIdChangedToken_.reset();
    uninstallIntegrations();
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
    config_ = config;

    storage_ = std::make_shared<OrbitStorage>(*config, host_);
    api_ = std::make_shared<OrbitApi>(config, host_.now);
    if (!config->storageManager) config->storageManager = std::make_shared<OrbitStorageManager>(*config, host_);
    // A device id exists from set-up on.
    config->storageManager->getDeviceId();

    const std::weak_ptr<OrbitSDK> weak = weak_from_this();
    remoteConfig_ = OrbitRemoteConfig::create(
        config, storage_, api_,
        [weak] {
            const auto self = weak.lock();
            return self ? self->getDefaultPersonProperties() : nlohmann::json::object();
        },
        [weak](const std::string& flagKey, const std::optional<nlohmann::json>& flagValue) {
            if (const auto self = weak.lock()) self->reportFeatureFlagCalled(flagKey, flagValue);
        },
        host_.mainQueue, [](const std::string& name) { OrbitNotificationCenter::defaultCenter().post(name); });

    reachability_ = std::make_unique<Reachability>(std::make_unique<RtnetlinkFlagsSource>(), host_.mainQueue);
    context_ = std::make_unique<OrbitContext>(reachability_.get(), OrbitContextSources{host_.applicationInfo});
    {
        std::lock_guard lock(optOutLock_);
        if (const auto stored = storage_->getBool(OrbitStorage::StorageKey::optOut)) config->optOut = *stored;
    }

    const auto resourceAttributes = OrbitLogsOTLP::buildResourceAttributes(config->logs, host_.applicationInfo);
    auto logsEndpoint = QueueEndpoint<OrbitLogRecord>::logs(*api_, resourceAttributes);
    auto eventEndpoint = QueueEndpoint<OrbitEvent>::batch(*api_);
    queue_ = OrbitQueue<OrbitEvent>::make(config, *storage_, std::move(eventEndpoint), reachability_.get(), host_.now);
    replayQueue_ = std::make_shared<OrbitReplayQueue>(config, *storage_, *api_, reachability_.get(), host_.now);
    logsQueue_ =
        OrbitQueue<OrbitLogRecord>::make(config, *storage_, std::move(logsEndpoint), reachability_.get(), host_.now);
    queue_->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    replayQueue_->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    logsQueue_->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);

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
    const auto manager = config_->storageManager;
    return manager ? manager->getDistinctId() : "";
}

std::string OrbitSDK::getAnonymousId() {
    if (!isSetUp()) return "";
    const auto manager = config_->storageManager;
    return manager ? manager->getAnonymousId() : "";
}

std::string OrbitSDK::getDeviceId() {
    if (!isSetUp()) return "";
    const auto manager = config_->storageManager;
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
    std::shared_ptr<OrbitQueue<OrbitEvent>> queue;
    std::shared_ptr<OrbitReplayQueue> replayQueue;
    std::shared_ptr<OrbitQueue<OrbitLogRecord>> logsQueue;
    {
        std::lock_guard lock(setupLock_);
        if (!enabled_) {
            hedgeLog(setupGuardMessage);
            return;
        }
        queue = queue_, replayQueue = replayQueue_, logsQueue = logsQueue_;
    }
    if (queue) queue->flush();
    // The replay queue has no buffer that could still be filling: its send queue always flushes.
    if (replayQueue) replayQueue->flush();
    if (logsQueue) logsQueue->flush();
}

std::shared_ptr<OrbitLogger> OrbitSDK::logger() {
    std::lock_guard lock(loggerLock_);
    return logger_;
}

void OrbitSDK::setLogger(std::shared_ptr<OrbitLogger> logger) {
    std::lock_guard lock(loggerLock_);
    logger_ = std::move(logger);
}

void OrbitSDK::installIntegrations() {
    if (!installedIntegrations_.empty()) {
        hedgeLog("Integrations already installed. Call uninstallIntegrations() first.");
        return;
    }
    std::vector<std::shared_ptr<OrbitIntegration>> installed;
    for (const auto& integration : config_->getIntegrations()) {
        const auto name = integration->typeName();
        if (integration->requiresSwizzling() && !config_->enableSwizzling) {
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
    const nlohmann::json context = {{"distinct_id", distinctId}, {"event_properties", nlohmann::json::object()}};
    std::vector<std::shared_ptr<OrbitIntegration>> integrations;
    {
        std::lock_guard lock(setupLock_);
        integrations = installedIntegrations_;
    }
    for (const auto& integration : integrations) integration->contextDidChange(context);
}

// Flag reads are not reported as events yet.
void OrbitSDK::reportFeatureFlagCalled(const std::string&, const std::optional<nlohmann::json>&) {}

}  // namespace orbit
