#pragma once
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "orbit/Logs/OrbitLogRecord.h"

namespace orbit {

class OrbitSDK;

// The front of log capture for one client, one method per severity. It refers to the client
// weakly: once the client is gone, every call does nothing.
class OrbitLogger {
public:
    using Attributes = std::optional<nlohmann::json>;

    explicit OrbitLogger(std::weak_ptr<OrbitSDK> sdk) : sdk(std::move(sdk)) {}

    void trace(const std::string& message, const Attributes& attributes = std::nullopt);
    void debug(const std::string& message, const Attributes& attributes = std::nullopt);
    void info(const std::string& message, const Attributes& attributes = std::nullopt);
    void warn(const std::string& message, const Attributes& attributes = std::nullopt);
    void error(const std::string& message, const Attributes& attributes = std::nullopt);
    void fatal(const std::string& message, const Attributes& attributes = std::nullopt);

    std::weak_ptr<OrbitSDK> sdk;

private:
    void log(const std::string& message, OrbitLogSeverity level, const Attributes& attributes);
};

}  // namespace orbit
