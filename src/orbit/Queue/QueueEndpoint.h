#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/Logs/OrbitLogRecord.h"
#include "orbit/Models/OrbitEvent.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitStorage.h"
#include "orbit/OrbitUploadInfo.h"

namespace orbit {

class OrbitApi;

// Everything that makes the generic send queue a concrete one: its folder, its limits (read once
// from the configuration when the queue is built), its record encoding and its upload.
template <typename Record>
struct QueueEndpoint {
    using Records = std::vector<std::shared_ptr<Record>>;
    using Completion = std::function<void(OrbitUploadInfo)>;

    OrbitStorage::StorageKey storageKey;
    std::vector<OrbitStorage::StorageKey> oldStorageKeys;
    std::string dispatchQueueLabel;
    std::function<int(const OrbitConfig&)> initialCap;
    std::function<int(const OrbitConfig&)> initialFlushAt;
    std::function<int(const OrbitConfig&)> maxQueueSize;
    std::function<double(const OrbitConfig&)> flushIntervalSeconds;
    std::function<int(const OrbitConfig&)> rateCapMax;  // 0: no cap
    std::function<double(const OrbitConfig&)> rateCapWindowSeconds;
    std::function<std::optional<std::string>(const Record&)> encode;
    std::function<std::shared_ptr<Record>(std::string_view)> decode;
    std::function<std::string(const Record&)> describe;
    // Uploads one batch and calls the completion exactly once, on any thread.
    std::function<void(const Records&, Completion)> send;
    std::function<bool(int64_t)> isRetriableStatusCode;

    // The api must outlive every queue built on the endpoint.
    static QueueEndpoint batch(OrbitApi& api);
    static QueueEndpoint snapshot(OrbitApi& api);
    static QueueEndpoint logs(OrbitApi& api, nlohmann::json resourceAttributes);
};

template <>
QueueEndpoint<OrbitEvent> QueueEndpoint<OrbitEvent>::batch(OrbitApi& api);
template <>
QueueEndpoint<OrbitEvent> QueueEndpoint<OrbitEvent>::snapshot(OrbitApi& api);
template <>
QueueEndpoint<OrbitLogRecord> QueueEndpoint<OrbitLogRecord>::logs(OrbitApi& api, nlohmann::json resourceAttributes);

// The endpoint, keeping owner (what its upload refers to) alive as long as a queue built on it
// lives: a client torn down while a capture still holds its queue must not pull the api away.
template <typename Record, typename Owner>
QueueEndpoint<Record> holding(QueueEndpoint<Record> endpoint, std::shared_ptr<Owner> owner) {
    endpoint.send = [send = std::move(endpoint.send), owner = std::move(owner)](
                        const typename QueueEndpoint<Record>::Records& records,
                        typename QueueEndpoint<Record>::Completion completion) {
        send(records, std::move(completion));
    };
    return endpoint;
}

// Whether an event or snapshot upload answered with this status is worth sending again later.
bool isEventsRetriableStatusCode(int64_t statusCode);
// The same for log uploads: 408, 429 and 500 to 599.
bool isLogsRetriableStatusCode(int64_t statusCode);

}  // namespace orbit
