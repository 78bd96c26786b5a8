#include "orbit/Logs/OrbitLogsConfig.h"

#include "orbit/Logs/LogText.h"

namespace orbit {

void OrbitLogsConfig::setBeforeSend(std::vector<Hook> hooks) {
    // An empty function would throw when the chain calls it.
    std::erase_if(hooks, [](const Hook& hook) { return !hook; });
    beforeSend.set(std::move(hooks));
}

void OrbitLogsConfig::setBeforeSend(const std::vector<BoxedBeforeSendLogBlock>& boxes) {
    std::vector<Hook> hooks;
    hooks.reserve(boxes.size());
    for (const auto& box : boxes) hooks.push_back(box.block);
    setBeforeSend(std::move(hooks));
}

std::shared_ptr<OrbitLogRecord> OrbitLogsConfig::runBeforeSend(std::shared_ptr<OrbitLogRecord> record) const {
    auto result = beforeSend.run(std::move(record));
    if (!result || isBlankLogText(result->body)) return nullptr;
    return result;
}

}  // namespace orbit
