#pragma once
#include "orbit/OrbitIntegration.h"

namespace orbit {

// Captures the application's life-cycle events. Installs as a no-op until its capture is built.
class OrbitAppLifeCycleIntegration : public OrbitIntegration {
public:
    std::string typeName() const override { return "OrbitAppLifeCycleIntegration"; }
    bool requiresSwizzling() const override { return false; }
    OrbitIntegrationInstallResult install(OrbitSDK&) override { return OrbitIntegrationInstallResult::installed(); }
    void uninstall(OrbitSDK&) override {}
};

}  // namespace orbit
