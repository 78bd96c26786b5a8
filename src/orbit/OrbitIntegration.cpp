#include "orbit/OrbitIntegration.h"

namespace orbit {

std::string description(OrbitIntegrationInstallSkipReason reason) {
    switch (reason) {
    case OrbitIntegrationInstallSkipReason::alreadyInstalled: return "Already installed to another OrbitSDK instance";
    case OrbitIntegrationInstallSkipReason::disabledInRemoteConfig: return "Disabled in remote config";
    case OrbitIntegrationInstallSkipReason::notAvailableOnPlatform: return "Not available on this platform";
    }
    return {};
}

}  // namespace orbit
