#include "orbit/Logs/OrbitLogger.h"

#include "orbit/OrbitSDK.h"

namespace orbit {

void OrbitLogger::trace(const std::string& message, const Attributes& attributes) {
    log(message, OrbitLogSeverity::trace, attributes);
}
void OrbitLogger::debug(const std::string& message, const Attributes& attributes) {
    log(message, OrbitLogSeverity::debug, attributes);
}
void OrbitLogger::info(const std::string& message, const Attributes& attributes) {
    log(message, OrbitLogSeverity::info, attributes);
}
void OrbitLogger::warn(const std::string& message, const Attributes& attributes) {
    log(message, OrbitLogSeverity::warn, attributes);
}
void OrbitLogger::error(const std::string& message, const Attributes& attributes) {
    log(message, OrbitLogSeverity::error, attributes);
}
void OrbitLogger::fatal(const std::string& message, const Attributes& attributes) {
    log(message, OrbitLogSeverity::fatal, attributes);
}

void OrbitLogger::log(const std::string& message, OrbitLogSeverity level, const Attributes& attributes) {
    if (const auto client = sdk.lock())
        client->captureLogInternal(message, level, attributes, std::nullopt, std::nullopt, std::nullopt);
}

}  // namespace orbit
