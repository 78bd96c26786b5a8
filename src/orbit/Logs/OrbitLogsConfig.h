#pragma once
#include <concepts>
#include <memory>
#include <vector>

#include "orbit/Logs/BoxedBeforeSendLogBlock.h"
#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/Utils/BeforeSendChain.h"

namespace orbit {

// The settings of log shipping, read when the logs queue is built.
class OrbitLogsConfig {
public:
    using Hook = BeforeSendChain<OrbitLogRecord>::Hook;

    int maxBatchSize = 50;
    int flushAt = 20;
    int maxBufferSize = 1000;  // the most log records kept on disk
    double flushIntervalSeconds = 30.0;
    int rateCapMaxLogs = 500;
    double rateCapWindowSeconds = 10.0;

    // Each form replaces the whole chain.
    void setBeforeSend(std::vector<Hook> hooks) { beforeSend.set(std::move(hooks)); }
    void setBeforeSend(const std::vector<BoxedBeforeSendLogBlock>& boxes);
    template <typename... Hooks>
    requires(sizeof...(Hooks) > 0 && (std::convertible_to<Hooks, Hook> && ...)) void setBeforeSend(Hooks&&... hooks) {
        setBeforeSend(std::vector<Hook>{Hook(std::forward<Hooks>(hooks))...});
    }

    // Nothing means the record is dropped.
    std::shared_ptr<OrbitLogRecord> runBeforeSend(std::shared_ptr<OrbitLogRecord> record) const {
        return beforeSend.run(std::move(record));
    }

    BeforeSendChain<OrbitLogRecord> beforeSend;
};

}  // namespace orbit
