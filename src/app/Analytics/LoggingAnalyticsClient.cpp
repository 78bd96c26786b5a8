#include "Analytics/LoggingAnalyticsClient.h"

namespace sablix {

LoggingAnalyticsClient::LoggingAnalyticsClient() : logger_(platform::appLog("Analytics")) {}

void LoggingAnalyticsClient::setup(const AnalyticsClientConfig& config) {
    logger_.debug("Analytics client set up for %s (flush at %d, every %.0f s)", config.host.c_str(), config.flushAt,
                  config.flushIntervalSeconds);
}

void LoggingAnalyticsClient::identify(const std::string& distinctId) {
    logger_.debug("Analytics identify %s", distinctId.c_str());
}

void LoggingAnalyticsClient::identify(const std::string& distinctId, const nlohmann::json& userProperties) {
    logger_.debug("Analytics identify %s %s", distinctId.c_str(), userProperties.dump().c_str());
}

void LoggingAnalyticsClient::capture(const std::string& event, const nlohmann::json& properties) {
    logger_.debug("Analytics event %s %s", event.c_str(), properties.dump().c_str());
}

void LoggingAnalyticsClient::reset() { logger_.debug("Analytics reset"); }

void LoggingAnalyticsClient::optOut() { logger_.debug("Analytics client opted out"); }

void LoggingAnalyticsClient::optIn() { logger_.debug("Analytics client opted in"); }

}  // namespace sablix
