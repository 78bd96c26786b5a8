#include "orbit/OrbitVersion.h"

#include <mutex>

namespace orbit {
namespace {

struct Identity {
    std::mutex lock;
    std::string sdkName = "orbit-ios";
    std::string version = "1.4.0";
};

// Never destroyed: the client's threads may still read it while the process exits.
Identity& identity() {
    static Identity* const instance = new Identity();
    return *instance;
}

}  // namespace

std::string orbitSdkName() {
    std::lock_guard lock(identity().lock);
    return identity().sdkName;
}

void setOrbitSdkName(std::string name) {
    std::lock_guard lock(identity().lock);
    identity().sdkName = std::move(name);
}

std::string orbitVersion() {
    std::lock_guard lock(identity().lock);
    return identity().version;
}

void setOrbitVersion(std::string version) {
    std::lock_guard lock(identity().lock);
    identity().version = std::move(version);
}

}  // namespace orbit
