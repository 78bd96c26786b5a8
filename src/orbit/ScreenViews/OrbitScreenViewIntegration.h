#pragma once
#include <memory>
#include <mutex>

#include "orbit/OrbitIntegration.h"

namespace orbit {

class ScreenViewPublishing;

// Connects automatic screen capture to one client at a time: installed, it leaves the publisher a
// handler that reports each screen to that client. Nothing on this platform calls the handler.
class OrbitScreenViewIntegration : public OrbitIntegration,
                                   public std::enable_shared_from_this<OrbitScreenViewIntegration> {
public:
    // The publisher defaults to the process-wide one.
    explicit OrbitScreenViewIntegration(ScreenViewPublishing* publisher = nullptr);

    std::string typeName() const override { return "OrbitScreenViewIntegration"; }
    bool requiresSwizzling() const override { return true; }
    OrbitIntegrationInstallResult install(OrbitSDK& sdk) override;
    void uninstall(OrbitSDK& sdk) override;

private:
    ScreenViewPublishing& publisher_;
    std::mutex lock_;
    std::weak_ptr<OrbitSDK> orbit_;  // with lock_ held
};

}  // namespace orbit
