#include "orbit/Logs/OrbitLogsConfig.h"

namespace orbit {

void OrbitLogsConfig::setBeforeSend(const std::vector<BoxedBeforeSendLogBlock>& boxes) {
    std::vector<Hook> hooks;
    hooks.reserve(boxes.size());
    for (const auto& box : boxes) hooks.push_back(box.block);
    beforeSend.set(std::move(hooks));
}

}  // namespace orbit
