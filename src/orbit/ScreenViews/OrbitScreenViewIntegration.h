#pragma once
#include "orbit/OrbitIntegration.h"

namespace orbit {

// Captures screen views reported as they appear. Installs as a no-op until its capture is built.
class OrbitScreenViewIntegration : public OrbitIntegration {
public:
    std::string typeName() const override { return "OrbitScreenViewIntegration"; }
    bool requiresSwizzling() const override { return true; }
    OrbitIntegrationInstallResult install(OrbitSDK&) override { return OrbitIntegrationInstallResult::installed(); }
    void uninstall(OrbitSDK&) override {}
};

}  // namespace orbit
