#include "orbit/ErrorTracking/OrbitErrorTrackingAutoCaptureIntegration.h"

#include <errno.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include "crashreporter/OBCrashReport.h"
#include "crashreporter/OBCrashReporter.h"
#include "orbit/ErrorTracking/OrbitCrashReportProcessor.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/OrbitSDK.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {
namespace {

// Process-wide: one instance at a time holds the crash reporter.
std::atomic<bool> integrationInstalled{false};

std::string describe(const obcrash::OBCrashReporterError& error) {
    std::string text = error.description;
    if (text.empty()) text = error.domain + " error " + std::to_string(error.code);
    return text;
}

struct CrashContext {
    std::optional<std::string> distinctId;
    nlohmann::json eventProperties = nlohmann::json::object();
};

// Lenient: whatever is not the expected shape counts as absent or empty. Read by the client's
// own reader, which refuses documents nested deeper than its writer writes: the bytes come from a
// file that may be damaged.
CrashContext readCrashContext(const std::optional<std::vector<uint8_t>>& customData) {
    CrashContext context;
    if (!customData) return context;
    std::string error;
    const auto read =
        readJSON(std::string_view(reinterpret_cast<const char*>(customData->data()), customData->size()), &error);
    if (!read) {
        hedgeLog("Ignoring the crash context: " + error);
        return context;
    }
    const nlohmann::json& document = *read;
    if (!document.is_object()) return context;
    if (const auto id = document.find("distinct_id"); id != document.end() && id->is_string())
        context.distinctId = id->get<std::string>();
    if (const auto properties = document.find("event_properties");
        properties != document.end() && properties->is_object())
        context.eventProperties = *properties;
    return context;
}

// The crash's time as the event's clock holds it; nothing for a stored time beyond its range.
std::optional<OrbitDate> crashTime(const std::optional<obcrash::OBCrashReportDate>& stored) {
    if (!stored) return std::nullopt;
    constexpr auto kLimit = std::chrono::duration_cast<std::chrono::seconds>(OrbitDate::duration::max()).count();
    const auto seconds = stored->time_since_epoch().count();
    if (seconds > kLimit || seconds < -kLimit) return std::nullopt;
    return std::chrono::time_point_cast<OrbitDate::duration>(*stored);
}

}  // namespace

namespace OrbitDebugUtils {

bool isDebuggerAttached() {
    std::ifstream status("/proc/self/status");
    if (!status) {
        hedgeLog("Failed to check for debugger. sysctl failed with error code: " + std::to_string(errno));
        return false;
    }
    constexpr std::string_view key = "TracerPid:";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10) != 0;
    return false;
}

}  // namespace OrbitDebugUtils

OrbitErrorTrackingAutoCaptureIntegration::~OrbitErrorTrackingAutoCaptureIntegration() = default;

OrbitIntegrationInstallResult OrbitErrorTrackingAutoCaptureIntegration::install(OrbitSDK& sdk) {
    if (const auto remoteConfig = sdk.remoteConfig_.load();
        remoteConfig && !remoteConfig->isAutocaptureExceptionsEnabled())
        return OrbitIntegrationInstallResult::skip(OrbitIntegrationInstallSkipReason::disabledInRemoteConfig);
    if (integrationInstalled.exchange(true))
        return OrbitIntegrationInstallResult::skip(OrbitIntegrationInstallSkipReason::alreadyInstalled);

    const obcrash::OBCrashReporterConfig configuration(obcrash::OBCrashReporterConfig::kSignalHandlerTypeMach, 0, true);
    const auto& application = sdk.host().applicationInfo;
    std::shared_ptr<obcrash::OBCrashReporter> reporter;
    try {
        reporter = std::make_shared<obcrash::OBCrashReporter>(
            obcrash::OBCrashApplicationInfo{application.identifier, application.build, application.version},
            configuration);
    } catch (const std::exception&) {
        hedgeLog("Failed to create OBCrashReporter instance");
        return OrbitIntegrationInstallResult::installed();
    }
    {
        std::lock_guard lock(lock_);
        crashReporter_ = reporter;
        orbit_ = sdk.weak_from_this();
    }
    if (reporter->hasPendingCrashReport()) {
        hedgeLog("Found pending crash report, processing...");
        processPendingCrashReport();
    }
    enableCrashReporter(*reporter);
    return OrbitIntegrationInstallResult::installed();
}

void OrbitErrorTrackingAutoCaptureIntegration::enableCrashReporter(obcrash::OBCrashReporter& reporter) {
    if (OrbitDebugUtils::isDebuggerAttached()) {
        hedgeLog(
            "Crash handler is disabled because a debugger is attached. Crashes will be caught by the debugger "
            "instead.");
        return;
    }
    obcrash::OBCrashReporterError error;
    if (reporter.enableCrashReporter(&error))
        hedgeLog("OBCrashReporter enabled successfully");
    else
        hedgeLog("Failed to enable OBCrashReporter: " + describe(error));
}

void OrbitErrorTrackingAutoCaptureIntegration::uninstall(OrbitSDK& sdk) {
    {
        std::lock_guard lock(lock_);
        const auto current = orbit_.lock();
        if (current && current.get() != &sdk) return;
        crashReporter_.reset();
        orbit_.reset();
    }
    integrationInstalled = false;
}

void OrbitErrorTrackingAutoCaptureIntegration::contextDidChange(const nlohmann::json& context) {
    std::shared_ptr<obcrash::OBCrashReporter> reporter;
    {
        std::lock_guard lock(lock_);
        reporter = crashReporter_;
    }
    if (!reporter) return;
    std::string text;
    try {
        text = context.dump();
    } catch (const nlohmann::json::exception& error) {
        hedgeLog(std::string("Failed to serialize crash context: ") + error.what());
        return;
    }
    reporter->setCustomData(std::vector<uint8_t>(text.begin(), text.end()));
}

void OrbitErrorTrackingAutoCaptureIntegration::processPendingCrashReport() {
    std::shared_ptr<obcrash::OBCrashReporter> reporter;
    std::shared_ptr<OrbitSDK> orbit;
    {
        std::lock_guard lock(lock_);
        reporter = crashReporter_;
        orbit = orbit_.lock();
    }
    if (!reporter || !orbit) return;

    // Whatever goes wrong in loading or decoding, the file goes: a report that fails once fails
    // again at every start.
    obcrash::OBCrashReporterError error;
    std::optional<std::vector<uint8_t>> data;
    try {
        data = reporter->loadPendingCrashReportData(&error);
    } catch (const std::exception& failure) {
        error.description = failure.what();
    }
    if (!data) {
        hedgeLog("Failed to load crash report: " + describe(error));
        reporter->purgePendingCrashReport();
        return;
    }
    // Gone before it is read: a report that crashes the reader is not read again at every start.
    reporter->purgePendingCrashReport();
    std::unique_ptr<const obcrash::OBCrashReport> report;
    nlohmann::json properties;
    std::optional<std::string> savedDistinctId;
    std::optional<OrbitDate> timestamp;
    try {
        report = obcrash::OBCrashReport::initWithData(*data, &error);
        if (!report) {
            hedgeLog("Failed to process crash report: " + describe(error));
            return;
        }
        auto context = readCrashContext(report->customData());
        savedDistinctId = std::move(context.distinctId);
        properties = std::move(context.eventProperties);
        const auto config = orbit->config();
        // The crash's own values win over the saved ones of the same name.
        const auto crashProperties = OrbitCrashReportProcessor::processReport(*report, config->errorTrackingConfig);
        for (const auto& [key, value] : crashProperties.items()) properties[key] = value;
        timestamp = crashTime(report->systemInfo().timestamp);
    } catch (const std::exception& failure) {
        hedgeLog(std::string("Failed to process crash report: ") + failure.what());
        return;
    }
    if (!timestamp) timestamp = orbit->host().now();

    const uint64_t generation = orbit->closes_;
    if (orbit->isSetUp() && !orbit->isOptedOut() && orbit->queue_.load()) {
        const auto distinctId = savedDistinctId ? *savedDistinctId : orbit->getDistinctId();
        if (const auto event = orbit->buildEvent("$exception", distinctId, std::move(properties), *timestamp))
            orbit->enqueue(event, generation);
    }
    hedgeLog("Crash report processed and captured");
}

}  // namespace orbit
