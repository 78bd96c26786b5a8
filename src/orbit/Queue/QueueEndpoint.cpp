#include "orbit/Queue/QueueEndpoint.h"

#include <cmath>

#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/OrbitApi.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {

using Key = OrbitStorage::StorageKey;

bool isEventsRetriableStatusCode(int64_t statusCode) {
    if (statusCode >= 300 && statusCode <= 399) return true;
    return statusCode == 408 || statusCode == 429 || statusCode == 500 || statusCode == 502 || statusCode == 503 ||
           statusCode == 504;
}

bool isLogsRetriableStatusCode(int64_t statusCode) {
    return statusCode == 408 || statusCode == 429 || (statusCode >= 500 && statusCode <= 599);
}

namespace {

QueueEndpoint<OrbitEvent> eventEndpoint(Key storageKey, std::vector<Key> oldStorageKeys, std::string label) {
    QueueEndpoint<OrbitEvent> endpoint;
    endpoint.storageKey = storageKey;
    endpoint.oldStorageKeys = std::move(oldStorageKeys);
    endpoint.dispatchQueueLabel = std::move(label);
    endpoint.initialCap = [](const OrbitConfig& config) { return config.maxBatchSize; };
    endpoint.initialFlushAt = [](const OrbitConfig& config) { return config.flushAt; };
    endpoint.maxQueueSize = [](const OrbitConfig& config) { return config.maxQueueSize; };
    endpoint.flushIntervalSeconds = [](const OrbitConfig& config) { return config.flushIntervalSeconds; };
    endpoint.rateCapMax = [](const OrbitConfig&) { return 0; };
    endpoint.rateCapWindowSeconds = [](const OrbitConfig&) { return 0.0; };
    endpoint.encode = [](const OrbitEvent& event) { return toJSONData(event.toJSON()); };
    endpoint.decode = [](std::string_view bytes) -> std::shared_ptr<OrbitEvent> {
        const auto object = fromJSONData(bytes);
        return object ? OrbitEvent::fromJSON(*object) : nullptr;
    };
    endpoint.isRetriableStatusCode = isEventsRetriableStatusCode;
    return endpoint;
}

}  // namespace

template <>
QueueEndpoint<OrbitEvent> QueueEndpoint<OrbitEvent>::batch(OrbitApi& api) {
    auto endpoint = eventEndpoint(Key::queue, {Key::oldQueueFolder, Key::oldQueuePlist}, "com.orbit.Queue");
    endpoint.describe = [](const OrbitEvent& event) { return "event '" + event.event + "'"; };
    endpoint.send = [&api](const Records& records, Completion completion) {
        api.batch(records, std::move(completion));
    };
    return endpoint;
}

template <>
QueueEndpoint<OrbitEvent> QueueEndpoint<OrbitEvent>::snapshot(OrbitApi& api) {
    auto endpoint = eventEndpoint(Key::replayQeueue, {Key::oldReplayQueue}, "com.orbit.ReplayQueue");
    endpoint.describe = [](const OrbitEvent&) { return std::string("snapshot"); };
    endpoint.send = [&api](const Records& records, Completion completion) {
        api.snapshot(records, std::move(completion));
    };
    return endpoint;
}

template <>
QueueEndpoint<OrbitLogRecord> QueueEndpoint<OrbitLogRecord>::logs(OrbitApi& api, nlohmann::json resourceAttributes) {
    QueueEndpoint<OrbitLogRecord> endpoint;
    endpoint.storageKey = Key::logsQueue;
    endpoint.dispatchQueueLabel = "com.orbit.LogsQueue";
    endpoint.initialCap = [](const OrbitConfig& config) { return config.logs.maxBatchSize; };
    endpoint.initialFlushAt = [](const OrbitConfig& config) { return config.logs.flushAt; };
    endpoint.maxQueueSize = [](const OrbitConfig& config) { return config.logs.maxBufferSize; };
    endpoint.flushIntervalSeconds = [](const OrbitConfig& config) { return config.logs.flushIntervalSeconds; };
    endpoint.rateCapMax = [](const OrbitConfig& config) { return std::max(0, config.logs.rateCapMaxLogs); };
    endpoint.rateCapWindowSeconds = [](const OrbitConfig& config) {
        const double seconds = config.logs.rateCapWindowSeconds;
        return std::isnan(seconds) || seconds < 0.0 ? 0.0 : seconds;
    };
    endpoint.encode = [](const OrbitLogRecord& record) { return toJSONData(record.toStorageJSON()); };
    endpoint.decode = [](std::string_view bytes) -> std::shared_ptr<OrbitLogRecord> {
        const auto object = fromJSONData(bytes);
        return object ? OrbitLogRecord::fromStorageJSON(*object) : nullptr;
    };
    endpoint.describe = [](const OrbitLogRecord&) { return std::string("log"); };
    endpoint.send = [&api, attributes = std::move(resourceAttributes)](const Records& records, Completion completion) {
        api.logs(OrbitLogsOTLP::buildPayload(records, attributes, orbitVersion()), std::move(completion));
    };
    endpoint.isRetriableStatusCode = isLogsRetriableStatusCode;
    return endpoint;
}

}  // namespace orbit
