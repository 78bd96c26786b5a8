#pragma once
#include <atomic>
#include <memory>
#include <mutex>

#include "orbit/OrbitIntegration.h"
#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

class AppLifecyclePublishing;

// Turns the host's life cycle into "Application Installed", "Application Updated",
// "Application Opened" and "Application Backgrounded". One instance per process drives it at a
// time; the install/update check runs once per process, whichever instance installs first. The
// previous version and build live in the host's defaults store ("OBGVersionKey", "OBGBuildKeyV2").
class OrbitAppLifeCycleIntegration : public OrbitIntegration,
                                     public std::enable_shared_from_this<OrbitAppLifeCycleIntegration> {
public:
    static constexpr const char* versionKey = "OBGVersionKey";
    static constexpr const char* buildKey = "OBGBuildKeyV2";

    // The publisher defaults to the process-wide one.
    explicit OrbitAppLifeCycleIntegration(AppLifecyclePublishing* publisher = nullptr);

    std::string typeName() const override { return "OrbitAppLifeCycleIntegration"; }
    bool requiresSwizzling() const override { return false; }
    OrbitIntegrationInstallResult install(OrbitSDK& sdk) override;
    void uninstall(OrbitSDK& sdk) override;

private:
    void start();
    void captureAppInstallOrUpdated();
    void captureAppOpened();
    void captureAppBackgrounded();

    AppLifecyclePublishing& publisher_;
    std::mutex lock_;  // guards orbit_, the tokens and the two states below
    std::weak_ptr<OrbitSDK> orbit_;
    bool isFreshAppLaunch_ = true;
    bool isAppBackgrounded_ = true;
    std::unique_ptr<RegistrationToken> didBecomeActiveToken_;
    std::unique_ptr<RegistrationToken> didEnterBackgroundToken_;
    std::unique_ptr<RegistrationToken> didFinishLaunchingToken_;
};

}  // namespace orbit
