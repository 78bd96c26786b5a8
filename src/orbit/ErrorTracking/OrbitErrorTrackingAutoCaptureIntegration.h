#pragma once
#include <memory>
#include <mutex>

#include "orbit/OrbitIntegration.h"

namespace obcrash {
class OBCrashReporter;
}

namespace orbit {

// Connects the client to the crash reporter: installed, it enables a reporter (once per process),
// keeps the reporter's custom data equal to the client's crash context, and turns the report a
// crash of an earlier run left into one "$exception" event. One client at a time has it installed;
// the reporter's handlers stay after it is removed.
class OrbitErrorTrackingAutoCaptureIntegration : public OrbitIntegration {
public:
    OrbitErrorTrackingAutoCaptureIntegration() = default;
    ~OrbitErrorTrackingAutoCaptureIntegration() override;

    std::string typeName() const override { return "OrbitErrorTrackingAutoCaptureIntegration"; }
    bool requiresSwizzling() const override { return false; }
    OrbitIntegrationInstallResult install(OrbitSDK& sdk) override;
    void uninstall(OrbitSDK& sdk) override;
    void contextDidChange(const nlohmann::json& context) override;

private:
    void processPendingCrashReport();
    void enableCrashReporter(obcrash::OBCrashReporter& reporter);

    std::mutex lock_;
    std::shared_ptr<obcrash::OBCrashReporter> crashReporter_;  // with lock_ held
    std::weak_ptr<OrbitSDK> orbit_;                            // with lock_ held
};

namespace OrbitDebugUtils {
// Whether a tracer (a debugger) is attached to this process.
bool isDebuggerAttached();
}  // namespace OrbitDebugUtils

}  // namespace orbit
