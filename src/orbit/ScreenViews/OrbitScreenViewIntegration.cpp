#include "orbit/ScreenViews/OrbitScreenViewIntegration.h"

#include <atomic>

#include "orbit/DI.h"
#include "orbit/OrbitSDK.h"

namespace orbit {
namespace {

// Process-wide: one instance at a time has this integration installed.
std::atomic<bool> integrationInstalled{false};

}  // namespace

OrbitScreenViewIntegration::OrbitScreenViewIntegration(ScreenViewPublishing* publisher)
    : publisher_(publisher ? *publisher : DI::main().screenViewPublisher()) {}

OrbitIntegrationInstallResult OrbitScreenViewIntegration::install(OrbitSDK& sdk) {
    if (integrationInstalled.exchange(true))
        return OrbitIntegrationInstallResult::skip(OrbitIntegrationInstallSkipReason::alreadyInstalled);
    {
        std::lock_guard lock(lock_);
        orbit_ = sdk.weak_from_this();
    }
    const std::weak_ptr<OrbitScreenViewIntegration> weak = weak_from_this();
    publisher_.startAutoCapture([weak](const std::string& screenName) {
        const auto self = weak.lock();
        if (!self) return;
        std::shared_ptr<OrbitSDK> orbit;
        {
            std::lock_guard lock(self->lock_);
            orbit = self->orbit_.lock();
        }
        if (orbit) orbit->screen(screenName);
    });
    return OrbitIntegrationInstallResult::installed();
}

void OrbitScreenViewIntegration::uninstall(OrbitSDK& sdk) {
    {
        std::lock_guard lock(lock_);
        const auto current = orbit_.lock();
        if (current && current.get() != &sdk) return;
        orbit_.reset();
    }
    publisher_.stopAutoCapture();
    integrationInstalled = false;
}

}  // namespace orbit
