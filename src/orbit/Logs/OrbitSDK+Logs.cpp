// OrbitSDK's log capture: the record built from the client's state at the call, run through the
// log hooks and handed to the logs queue, all on the caller's thread.
#include <algorithm>

#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/Logs/LogText.h"
#include "orbit/OrbitSDK.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Utils/HedgeLog.h"

namespace orbit {

void OrbitSDK::captureLog(const std::string& body) {
    captureLogInternal(body, OrbitLogSeverity::info, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

void OrbitSDK::captureLog(const std::string& body, OrbitLogSeverity level) {
    captureLogInternal(body, level, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

void OrbitSDK::captureLog(const std::string& body, OrbitLogSeverity level,
                          const std::optional<nlohmann::json>& attributes) {
    captureLogInternal(body, level, attributes, std::nullopt, std::nullopt, std::nullopt);
}

void OrbitSDK::captureLog(const std::string& body, OrbitLogSeverity level,
                          const std::optional<nlohmann::json>& attributes, const std::optional<std::string>& traceId,
                          const std::optional<std::string>& spanId, std::optional<int64_t> traceFlags) {
    captureLogInternal(body, level, attributes, traceId, spanId, traceFlags);
}

namespace {

// A collector refuses a whole batch for one id of the wrong form, and that answer is not retried:
// the record goes without the id instead.
std::optional<std::string> wellFormedId(std::optional<std::string> id, size_t digits, const char* field) {
    if (!id || isHexId(*id, digits)) return id;
    hedgeLog(std::string("captureLog: ") + field + " is not " + std::to_string(digits) +
             " hexadecimal digits, dropping it");
    return std::nullopt;
}

}  // namespace

void OrbitSDK::captureLogInternal(const std::string& body, OrbitLogSeverity level,
                                  const std::optional<nlohmann::json>& attributes, std::optional<std::string> traceId,
                                  std::optional<std::string> spanId, std::optional<int64_t> traceFlags) {
    std::shared_ptr<OrbitConfig> config;
    std::shared_ptr<OrbitQueue<OrbitLogRecord>> logsQueue;
    std::shared_ptr<OrbitRemoteConfig> remoteConfig;
    {
        std::lock_guard lock(setupLock_);
        if (!enabled_) {
            hedgeLog(setupGuardMessage);
            return;
        }
        config = config_.load(), logsQueue = logsQueue_.load(), remoteConfig = remoteConfig_.load();
    }
    if (config->optOut) {
        hedgeLog("Orbit is in OptOut state.");
        return;
    }
    if (isBlankLogText(body)) {
        hedgeLog("captureLog: empty body, dropping");
        return;
    }
    if (!logsQueue) return;

    auto distinctId = getDistinctId();
    auto time = nanosNow(host_.now);
    auto record = std::make_shared<OrbitLogRecord>(
        body, level, attributes && attributes->is_object() ? *attributes : nlohmann::json::object(),
        wellFormedId(std::move(traceId), 32, "traceId"), wellFormedId(std::move(spanId), 16, "spanId"), traceFlags,
        time, time, distinctId.empty() ? std::nullopt : std::optional(std::move(distinctId)), logSessionId(),
        logScreenName(), logAppState(), logFeatureFlagKeys(remoteConfig));

    record = config->logs.runBeforeSend(std::move(record));
    if (!record) return;
    // A hook may have set ids of its own.
    record->traceId = wellFormedId(std::move(record->traceId), 32, "traceId");
    record->spanId = wellFormedId(std::move(record->spanId), 16, "spanId");
    logsQueue->add(*record);
}

std::optional<std::string> OrbitSDK::logSessionId() { return sessionManager_->getSessionId(host_.now(), true); }

std::optional<std::string> OrbitSDK::logScreenName() {
    std::lock_guard lock(lastScreenLock_);
    return lastScreenName_;
}

std::string OrbitSDK::logAppState() {
    return sessionManager_ && sessionManager_->isAppInBackgroundSnapshot() ? "background" : "foreground";
}

std::vector<std::string> OrbitSDK::logFeatureFlagKeys(const std::shared_ptr<OrbitRemoteConfig>& remoteConfig) {
    std::vector<std::string> keys;
    const auto flags = remoteConfig ? remoteConfig->getFeatureFlags() : std::nullopt;
    if (!flags || !flags->is_object()) return keys;
    for (const auto& [key, value] : flags->items())
        if (value != false) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace orbit
