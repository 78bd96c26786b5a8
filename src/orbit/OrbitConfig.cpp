#include "orbit/OrbitConfig.h"

#include <curl/curl.h>

#include "orbit/AppLifeCycle/OrbitAppLifeCycleIntegration.h"
#include "orbit/ErrorTracking/OrbitErrorTrackingAutoCaptureIntegration.h"
#include "orbit/ScreenViews/OrbitScreenViewIntegration.h"
#include "orbit/Utils/HedgeLog.h"

namespace orbit {
namespace {

constexpr const char* kApiKeyDeprecated =
    "apiKey is deprecated and will be removed in the next major version. Use projectToken instead.";

std::string trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

bool parsesAsURL(const std::string& text) {
    CURLU* url = curl_url();
    if (!url) return false;
    const bool parsed = curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(url);
    return parsed;
}

std::string hostOrDefault(std::string_view given) {
    auto host = trimmed(given);
    return !host.empty() && parsesAsURL(host) ? host : OrbitConfig::defaultHost;
}

}  // namespace

std::optional<OrbitDataMode> orbitDataMode(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<OrbitDataMode>(rawValue);
}

std::optional<OrbitPersonProfiles> orbitPersonProfiles(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<OrbitPersonProfiles>(rawValue);
}

OrbitConfig::OrbitConfig(std::string_view projectToken) : host(defaultHost), projectToken(trimmed(projectToken)) {}

OrbitConfig::OrbitConfig(std::string_view projectToken, std::string_view host)
    : host(hostOrDefault(host)), projectToken(trimmed(projectToken)) {}

std::shared_ptr<OrbitConfig> OrbitConfig::withApiKey(std::string_view apiKey) {
    hedgeLog(kApiKeyDeprecated);
    return std::make_shared<OrbitConfig>(apiKey);
}

std::shared_ptr<OrbitConfig> OrbitConfig::withApiKey(std::string_view apiKey, std::string_view host) {
    hedgeLog(kApiKeyDeprecated);
    return std::make_shared<OrbitConfig>(apiKey, host);
}

std::string OrbitConfig::apiKey() const {
    hedgeLog(kApiKeyDeprecated);
    return projectToken;
}

void OrbitConfig::setRemoteConfig(bool enabled) {
    if (!enabled) hedgeLog("remoteConfig is deprecated and is now always enabled. Setting it to false has no effect.");
}

void OrbitConfig::setEvaluationEnvironments(std::optional<std::vector<std::string>> environments) {
    if (environments) hedgeLog("evaluationEnvironments is deprecated. Use evaluationContexts instead.");
    evaluationContexts = std::move(environments);
}

std::vector<std::shared_ptr<OrbitIntegration>> OrbitConfig::getIntegrations() const {
    std::vector<std::shared_ptr<OrbitIntegration>> integrations;
    if (errorTrackingConfig.autoCapture)
        integrations.push_back(std::make_shared<OrbitErrorTrackingAutoCaptureIntegration>());
    if (captureScreenViews) integrations.push_back(std::make_shared<OrbitScreenViewIntegration>());
    if (captureApplicationLifecycleEvents) integrations.push_back(std::make_shared<OrbitAppLifeCycleIntegration>());
    return integrations;
}

void OrbitConfig::setBeforeSend(const std::vector<BoxedBeforeSendBlock>& boxes) {
    std::vector<Hook> hooks;
    hooks.reserve(boxes.size());
    for (const auto& box : boxes) hooks.push_back(box.block);
    beforeSend.set(std::move(hooks));
}

std::string OrbitConfig::snapshotEndpoint() const {
    std::lock_guard lock(snapshotEndpointLock_);
    return snapshotEndpoint_;
}

void OrbitConfig::setSnapshotEndpoint(std::string endpoint) {
    std::lock_guard lock(snapshotEndpointLock_);
    snapshotEndpoint_ = std::move(endpoint);
}

}  // namespace orbit
