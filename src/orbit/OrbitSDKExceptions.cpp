// Handled errors reported by the host, as "$exception" events.
//
// Each entry point builds the properties itself rather than through a helper of internal linkage:
// the capture-time stack loses its top frames while they are the client's own, which the loader
// can only tell for exported functions of namespace orbit.
#include "orbit/ErrorTracking/OrbitExceptionProcessor.h"
#include "orbit/OrbitSDK.h"

namespace orbit {

void OrbitSDK::captureException(const std::exception& error, const Properties& properties) {
    if (!isSetUp()) return;
    capture("$exception", OrbitExceptionProcessor::exceptionEventProperties(
                              error, config()->errorTrackingConfig, properties.value_or(nlohmann::json::object())));
}

void OrbitSDK::captureException(const std::error_code& error, const Properties& properties) {
    if (!isSetUp()) return;
    capture("$exception", OrbitExceptionProcessor::exceptionEventProperties(
                              error, config()->errorTrackingConfig, properties.value_or(nlohmann::json::object())));
}

void OrbitSDK::captureException(const OrbitTracedException& exception, const Properties& properties) {
    if (!isSetUp()) return;
    capture("$exception", OrbitExceptionProcessor::exceptionEventProperties(
                              static_cast<const std::exception&>(exception), config()->errorTrackingConfig,
                              properties.value_or(nlohmann::json::object())));
}

}  // namespace orbit
