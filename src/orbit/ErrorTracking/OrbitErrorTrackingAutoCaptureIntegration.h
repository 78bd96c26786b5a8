#pragma once
#include "orbit/OrbitIntegration.h"

namespace orbit {

// Captures crashes of the process, reported at the next start. Installs as a no-op until its capture is built.
class OrbitErrorTrackingAutoCaptureIntegration : public OrbitIntegration {
public:
    std::string typeName() const override { return "OrbitErrorTrackingAutoCaptureIntegration"; }
    bool requiresSwizzling() const override { return true; }
    OrbitIntegrationInstallResult install(OrbitSDK&) override { return OrbitIntegrationInstallResult::installed(); }
    void uninstall(OrbitSDK&) override {}
};

}  // namespace orbit
