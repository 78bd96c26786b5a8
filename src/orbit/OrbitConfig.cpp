#include "orbit/OrbitConfig.h"

namespace orbit {

void OrbitConfig::setBeforeSend(const std::vector<BoxedBeforeSendBlock>& boxes) {
    std::vector<Hook> hooks;
    hooks.reserve(boxes.size());
    for (const auto& box : boxes) hooks.push_back(box.block);
    beforeSend.set(std::move(hooks));
}

std::string OrbitConfig::snapshotEndpoint() const {
    std::lock_guard lock(snapshotEndpointLock_);
    return snapshotEndpoint_;
}

void OrbitConfig::setSnapshotEndpoint(std::string endpoint) {
    std::lock_guard lock(snapshotEndpointLock_);
    snapshotEndpoint_ = std::move(endpoint);
}

}  // namespace orbit
