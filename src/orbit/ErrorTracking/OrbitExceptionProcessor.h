#pragma once
#include <exception>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "orbit/ErrorTracking/OrbitErrorTrackingConfig.h"

namespace orbit {

// The "$exception_list" of a handled error or exception and of the chain nested under it, with the
// stack of the capturing thread (or the one a traced exception carries) and its "$debug_images".
class OrbitExceptionProcessor {
public:
    OrbitExceptionProcessor() = delete;

    // The whole properties of the "$exception" event that reports `error` as handled: level
    // "error", the exception list and its images, then every entry of `properties` over them. The
    // client captures them as "$exception" after its own checks.
    static nlohmann::json exceptionEventProperties(const std::exception_ptr& error,
                                                   const OrbitErrorTrackingConfig& config,
                                                   const nlohmann::json& properties = nlohmann::json::object());
    static nlohmann::json exceptionEventProperties(const std::exception& error, const OrbitErrorTrackingConfig& config,
                                                   const nlohmann::json& properties = nlohmann::json::object());
    static nlohmann::json exceptionEventProperties(const std::error_code& error, const OrbitErrorTrackingConfig& config,
                                                   const nlohmann::json& properties = nlohmann::json::object());

    // One entry per element of the chain that std::rethrow_if_nested follows, the given one first.
    static nlohmann::json buildExceptionList(const std::exception_ptr& error, bool handled,
                                             const std::string& mechanismType, const OrbitErrorTrackingConfig& config);
    static nlohmann::json buildExceptionList(const std::exception& error, bool handled,
                                             const std::string& mechanismType, const OrbitErrorTrackingConfig& config);
    static nlohmann::json buildExceptionList(const std::error_code& error, bool handled,
                                             const std::string& mechanismType, const OrbitErrorTrackingConfig& config);

    // Sets "$exception_list" and, when an image matches, "$debug_images"; nothing for an empty list.
    static void attachExceptionsAndDebugImages(const nlohmann::json& exceptions, nlohmann::json& properties);

    // The stack of the calling thread without the client's own top frames; null when no frame remains.
    static nlohmann::json buildStacktrace(const OrbitErrorTrackingConfig& config);

private:
    class ChainBuilder;
    static nlohmann::json eventProperties(nlohmann::json exceptions, const nlohmann::json& properties);
};

}  // namespace orbit
