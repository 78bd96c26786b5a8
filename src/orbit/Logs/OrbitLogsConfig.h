#pragma once
#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/Logs/BoxedBeforeSendLogBlock.h"
#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/Utils/BeforeSendChain.h"

namespace orbit {

// The settings of log shipping. The queue's limits and the resource description are read once,
// when the client is set up; the hooks run at every capture.
class OrbitLogsConfig {
public:
    using Hook = BeforeSendChain<OrbitLogRecord>::Hook;
    static constexpr const char* unknownServiceName = "com.orbit.unknown";

    double flushIntervalSeconds = 30.0;
    int maxBufferSize = 1000;  // the most log records kept on disk
    int flushAt = 20;
    int maxBatchSize = 50;
    // Nothing: the program's identifier, else unknownServiceName.
    std::optional<std::string> serviceName;
    // Nothing: the program's version, else none is sent.
    std::optional<std::string> serviceVersion;
    std::optional<std::string> environment;
    nlohmann::json resourceAttributes = nlohmann::json::object();
    int rateCapMaxLogs = 500;  // a negative cap counts as 0, which turns the cap off
    double rateCapWindowSeconds = 10.0;

    // Each form replaces the whole chain.
    void setBeforeSend(std::vector<Hook> hooks);
    void setBeforeSend(const std::vector<BoxedBeforeSendLogBlock>& boxes);
    template <typename... Hooks>
    requires(sizeof...(Hooks) > 0 && (std::convertible_to<Hooks, Hook> && ...)) void setBeforeSend(Hooks&&... hooks) {
        setBeforeSend(std::vector<Hook>{Hook(std::forward<Hooks>(hooks))...});
    }

    // Nothing means the record is dropped: a hook dropped it, or left its body blank.
    std::shared_ptr<OrbitLogRecord> runBeforeSend(std::shared_ptr<OrbitLogRecord> record) const;

    BeforeSendChain<OrbitLogRecord> beforeSend;
};

}  // namespace orbit
