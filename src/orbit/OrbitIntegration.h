#pragma once
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace orbit {

class OrbitSDK;

enum class OrbitIntegrationInstallSkipReason { alreadyInstalled, disabledInRemoteConfig, notAvailableOnPlatform };

std::string description(OrbitIntegrationInstallSkipReason reason);

// installed, or skipped with its reason.
struct OrbitIntegrationInstallResult {
    std::optional<OrbitIntegrationInstallSkipReason> skipped;

    static OrbitIntegrationInstallResult installed() { return {}; }
    static OrbitIntegrationInstallResult skip(OrbitIntegrationInstallSkipReason reason) { return {reason}; }
    bool isInstalled() const { return !skipped; }
};

// A piece of automatic capture that a client installs for itself when it is set up or opted in.
class OrbitIntegration {
public:
    virtual ~OrbitIntegration() = default;
    // The unqualified type name the client's log lines use.
    virtual std::string typeName() const = 0;
    virtual bool requiresSwizzling() const = 0;
    virtual OrbitIntegrationInstallResult install(OrbitSDK& sdk) = 0;
    virtual void uninstall(OrbitSDK& sdk) = 0;
    // The event context as it now stands: {"distinct_id", "event_properties"}.
    virtual void contextDidChange(const nlohmann::json&) {}
};

}  // namespace orbit
