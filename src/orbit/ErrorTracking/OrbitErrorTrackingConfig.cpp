#include "orbit/ErrorTracking/OrbitErrorTrackingConfig.h"

#include "orbit/Utils/BundleInfo.h"

namespace orbit {

OrbitErrorTrackingConfig::OrbitErrorTrackingConfig() : OrbitErrorTrackingConfig(OrbitApplicationInfo::fromProcess()) {}

OrbitErrorTrackingConfig::OrbitErrorTrackingConfig(const OrbitApplicationInfo& application) {
    inAppIncludes_.push_back(bundleIdentifier(application, "com.orbit.unknown"));
    if (!application.executableName.empty()) inAppIncludes_.push_back(application.executableName);
}

std::vector<std::string> OrbitErrorTrackingConfig::inAppIncludes() const {
    std::lock_guard guard(lock_);
    return inAppIncludes_;
}

void OrbitErrorTrackingConfig::setInAppIncludes(std::vector<std::string> includes) {
    std::lock_guard guard(lock_);
    inAppIncludes_ = std::move(includes);
}

std::vector<std::string> OrbitErrorTrackingConfig::inAppExcludes() const {
    std::lock_guard guard(lock_);
    return inAppExcludes_;
}

void OrbitErrorTrackingConfig::setInAppExcludes(std::vector<std::string> excludes) {
    std::lock_guard guard(lock_);
    inAppExcludes_ = std::move(excludes);
}

}  // namespace orbit
