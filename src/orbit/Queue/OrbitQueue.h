#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orbit/Network/Reachability.h"
#include "orbit/OrbitConfig.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Queue/OrbitDispatchQueue.h"
#include "orbit/Queue/OrbitFileBackedQueue.h"
#include "orbit/Queue/QueueEndpoint.h"
#include "orbit/Utils/Clock.h"
#include "orbit/Utils/FileUtils.h"
#include "orbit/Utils/HedgeLog.h"

namespace orbit {

// One batch taken from the head of a queue. Exactly one call of completion ends a flush: true
// deletes the batch's files, false keeps them for a later flush.
template <typename Record>
struct OrbitConsumerPayload {
    std::vector<std::shared_ptr<Record>> records;
    std::function<void(bool)> completion;
};

// The most records taken per batch and the depth that triggers a flush; both only shrink.
struct BatchLimits {
    int cap = 1;
    int flushAt = 1;
};

// The date of a pause's end as the debug log prints it: 2024-01-01 12:00:00 +0000.
std::string pauseDateText(OrbitDate date);

// A persistent send queue: records are added from any thread and kept on disk; one batch at a
// time is loaded on the queue's serial queue and sent through the endpoint. It flushes at a depth
// threshold, on a timer, when the network comes back and when asked; it backs off after failures,
// halves its batches after HTTP 413, applies the endpoint's rate cap and disk limit, and after a
// good upload deletes exactly the files of that batch. Built by make (closures hold it weakly).
template <typename Record>
class OrbitQueue : public std::enable_shared_from_this<OrbitQueue<Record>> {
public:
    // The reachability, when given, must outlive the queue.
    static std::shared_ptr<OrbitQueue> make(std::shared_ptr<OrbitConfig> config, const OrbitStorage& storage,
                                            QueueEndpoint<Record> endpoint, Reachability* reachability,
                                            Now now = systemNow) {
        return std::shared_ptr<OrbitQueue>(
            new OrbitQueue(std::move(config), storage, std::move(endpoint), reachability, std::move(now)));
    }
    ~OrbitQueue() { stop(); }
    OrbitQueue(const OrbitQueue&) = delete;
    OrbitQueue& operator=(const OrbitQueue&) = delete;

    void start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting);
    void add(const Record& record);
    void flush();
    void stop();

    size_t depth() const { return fileQueue_.depth(); }
    BatchLimits batchLimits() const {
        std::lock_guard lock(batchLimitsLock_);
        return batchLimits_;
    }
    OrbitFileBackedQueue& fileQueue() { return fileQueue_; }

private:
    OrbitQueue(std::shared_ptr<OrbitConfig> config, const OrbitStorage& storage, QueueEndpoint<Record> endpoint,
               Reachability* reachability, Now now);

    static std::vector<std::filesystem::path> oldLocations(const OrbitStorage& storage,
                                                           const QueueEndpoint<Record>& endpoint) {
        std::vector<std::filesystem::path> locations;
        for (const auto key : endpoint.oldStorageKeys)
            locations.push_back(storage.appFolderUrl() / OrbitStorage::rawValue(key));
        return locations;
    }

    void flushIfOverThreshold();
    void rollRateCapWindowIfNeeded();  // with rateCapLock_ held
    void noteRateCapDropped();         // with rateCapLock_ held
    void take();
    void sendBatch(OrbitConsumerPayload<Record> payload);
    void handleResult(const OrbitUploadInfo& info, const OrbitConsumerPayload<Record>& payload);
    void pauseFor(double seconds);
    std::optional<std::string> pauseReason();
    void dropAllQueuedRecords(const std::string& reason);
    void reachable();
    void unreachable();

    const std::shared_ptr<OrbitConfig> config_;
    const QueueEndpoint<Record> endpoint_;
    const Now now_;
    const int configuredMaxQueueSize_;
    const double timerInterval_;

    std::mutex stateLock_;
    bool paused_ = false;
    std::optional<OrbitDate> pausedUntil_;
    int retryCount_ = 0;

    Reachability* const reachability_;
    std::unique_ptr<RegistrationToken> reachableToken_;
    std::unique_ptr<RegistrationToken> unreachableToken_;

    std::mutex isFlushingLock_;
    bool isFlushing_ = false;

    std::mutex timerLock_;
    std::unique_ptr<OrbitRepeatingTimer> timer_;
    bool stopped_ = false;

    mutable std::mutex batchLimitsLock_;
    BatchLimits batchLimits_;

    const int rateCapMax_;
    const double rateCapWindowSeconds_;
    std::mutex rateCapLock_;
    std::optional<OrbitDate> rateCapWindowStart_;
    int rateCapCount_ = 0;
    bool rateCapDropWarned_ = false;

    OrbitFileBackedQueue fileQueue_;
    OrbitDispatchQueue dispatchQueue_;  // last: its thread stops first
};

template <typename Record>
OrbitQueue<Record>::OrbitQueue(std::shared_ptr<OrbitConfig> config, const OrbitStorage& storage,
                               QueueEndpoint<Record> endpoint, Reachability* reachability, Now now)
    : config_(std::move(config)),
      endpoint_(std::move(endpoint)),
      now_(std::move(now)),
      configuredMaxQueueSize_(endpoint_.maxQueueSize(*config_)),
      timerInterval_(endpoint_.flushIntervalSeconds(*config_)),
      reachability_(reachability),
      batchLimits_{std::max(1, endpoint_.initialCap(*config_)), std::max(1, endpoint_.initialFlushAt(*config_))},
      rateCapMax_(endpoint_.rateCapMax(*config_)),
      rateCapWindowSeconds_(endpoint_.rateCapWindowSeconds(*config_)),
      fileQueue_(storage.appFolderUrl() / OrbitStorage::rawValue(endpoint_.storageKey),
                 oldLocations(storage, endpoint_), now_),
      dispatchQueue_(endpoint_.dispatchQueueLabel) {}

template <typename Record>
void OrbitQueue<Record>::start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting) {
    std::weak_ptr<OrbitQueue> weak = this->shared_from_this();
    if (!disableReachabilityForTesting) {
        if (reachability_) {
            reachableToken_ = reachability_->onReachable.subscribe([weak](Reachability&) {
                if (const auto queue = weak.lock()) queue->reachable();
            });
            unreachableToken_ = reachability_->onUnreachable.subscribe([weak](Reachability&) {
                if (const auto queue = weak.lock()) queue->unreachable();
            });
            if (const auto error = reachability_->startNotifier())
                hedgeLog("Error: Unable to monitor network reachability: " + std::to_string(static_cast<int>(*error)));
        } else {
            reachableToken_.reset();
            unreachableToken_.reset();
        }
    }
    if (disableQueueTimerForTesting) return;
    std::lock_guard lock(timerLock_);
    if (stopped_ || timer_) return;
    const auto period = std::chrono::milliseconds(static_cast<int64_t>(std::max(0.001, timerInterval_) * 1000.0));
    timer_ = std::make_unique<OrbitRepeatingTimer>(period, [weak] {
        if (const auto queue = weak.lock()) queue->flush();
    });
}

template <typename Record>
void OrbitQueue<Record>::stop() {
    std::unique_ptr<OrbitRepeatingTimer> timer;
    {
        std::lock_guard lock(timerLock_);
        stopped_ = true;
        timer = std::move(timer_);
    }
    timer.reset();
    reachableToken_.reset();
    unreachableToken_.reset();
}

template <typename Record>
void OrbitQueue<Record>::reachable() {
    const bool wifi = reachability_->connection() == Reachability::Connection::wifi;
    {
        std::lock_guard lock(stateLock_);
        if (config_->dataMode == OrbitDataMode::wifi && !wifi) {
            hedgeLog("Queue is paused because its not in WiFi mode");
            paused_ = true;
        } else {
            paused_ = false;
        }
    }
    if (wifi) flush();
}

template <typename Record>
void OrbitQueue<Record>::unreachable() {
    std::lock_guard lock(stateLock_);
    hedgeLog("Queue is paused because network is unreachable");
    paused_ = true;
}

template <typename Record>
void OrbitQueue<Record>::add(const Record& record) {
    if (rateCapMax_ > 0) {
        std::lock_guard lock(rateCapLock_);
        rollRateCapWindowIfNeeded();
        if (rateCapCount_ >= rateCapMax_) return noteRateCapDropped();
        ++rateCapCount_;
    }
    if (static_cast<int64_t>(fileQueue_.depth()) >= configuredMaxQueueSize_) {
        hedgeLog("Queue is full, dropping oldest record");
        fileQueue_.remove(0);
    }
    const auto bytes = endpoint_.encode(record);
    if (!bytes) return hedgeLog("Tried to queue unserialisable record");
    if (!fileQueue_.add(*bytes)) return;
    hedgeLog("Queued " + endpoint_.describe(record) + ". Depth: " + std::to_string(fileQueue_.depth()));
    flushIfOverThreshold();
}

template <typename Record>
void OrbitQueue<Record>::flushIfOverThreshold() {
    if (static_cast<int64_t>(fileQueue_.depth()) >= batchLimits().flushAt) flush();
}

template <typename Record>
void OrbitQueue<Record>::rollRateCapWindowIfNeeded() {
    const auto now = now_();
    const double elapsed =
        rateCapWindowStart_ ? std::chrono::duration<double>(now - *rateCapWindowStart_).count() : 0.0;
    if (!rateCapWindowStart_ || elapsed < 0.0 || elapsed >= rateCapWindowSeconds_) {
        rateCapWindowStart_ = now;
        rateCapCount_ = 0;
        rateCapDropWarned_ = false;
    }
}

template <typename Record>
void OrbitQueue<Record>::noteRateCapDropped() {
    if (rateCapDropWarned_) return;
    rateCapDropWarned_ = true;
    hedgeLog("Queue rate cap exceeded (" + std::to_string(rateCapMax_) + " per " +
             shortestDecimal(rateCapWindowSeconds_) + "s), dropping records this window");
}

template <typename Record>
std::optional<std::string> OrbitQueue<Record>::pauseReason() {
    std::lock_guard lock(stateLock_);
    if (paused_) return "paused due to the reachability check";
    if (pausedUntil_ && *pausedUntil_ > now_()) return "paused until `" + pauseDateText(*pausedUntil_) + "`";
    return std::nullopt;
}

template <typename Record>
void OrbitQueue<Record>::flush() {
    if (const auto reason = pauseReason()) return hedgeLog("The queue is " + *reason);
    take();
}

template <typename Record>
void OrbitQueue<Record>::take() {
    std::weak_ptr<OrbitQueue> weak = this->shared_from_this();
    dispatchQueue_.async([weak] {
        const auto queue = weak.lock();
        if (!queue || queue->pauseReason()) return;
        {
            std::lock_guard lock(queue->isFlushingLock_);
            if (queue->isFlushing_) return hedgeLog("Already flushing");
            queue->isFlushing_ = true;
        }
        // The cap is read here, not when the flush was asked for: a 413 handled in between has
        // halved it, and a batch of the old size would spend another retry.
        const int cap = queue->batchLimits().cap;
        const auto files = queue->fileQueue_.loadFiles(static_cast<size_t>(std::max(1, cap)));
        OrbitConsumerPayload<Record> payload;
        std::vector<std::string> names;
        for (const auto& file : files) {
            names.push_back(file.name);
            if (auto record = queue->endpoint_.decode(file.contents)) payload.records.push_back(std::move(record));
        }
        // Exactly the files of this batch go, undecodable ones included: records evicted or added
        // meanwhile are never mistaken for them.
        payload.completion = [weak, names = std::move(names)](bool remove) {
            const auto owner = weak.lock();
            if (!owner) return;
            if (remove && !names.empty()) {
                owner->fileQueue_.deleteFiles(names);
                hedgeLog("Completed!");
            }
            std::lock_guard lock(owner->isFlushingLock_);
            owner->isFlushing_ = false;
        };
        if (payload.records.empty()) return payload.completion(true);
        queue->sendBatch(std::move(payload));
    });
}

template <typename Record>
void OrbitQueue<Record>::sendBatch(OrbitConsumerPayload<Record> payload) {
    hedgeLog("Sending batch of " + std::to_string(payload.records.size()) + " records to Orbit");
    std::weak_ptr<OrbitQueue> weak = this->shared_from_this();
    const auto records = payload.records;
    endpoint_.send(records, [weak, payload = std::move(payload)](OrbitUploadInfo info) {
        if (const auto queue = weak.lock()) queue->handleResult(info, payload);
    });
}

template <typename Record>
void OrbitQueue<Record>::handleResult(const OrbitUploadInfo& info, const OrbitConsumerPayload<Record>& payload) {
    const int maxRetries = config_->maxRetries;
    std::optional<int64_t> status = info.statusCode;
    if (status == -1) status.reset();
    if (status && !endpoint_.isRetriableStatusCode(*status)) {
        if (*status != 413) {
            {
                std::lock_guard lock(stateLock_);
                retryCount_ = 0;
            }
            return payload.completion(true);
        }
        if (batchLimits().cap > 1) {
            int count = 0;
            {
                std::lock_guard lock(stateLock_);
                count = ++retryCount_;
            }
            if (maxRetries < count) {
                dropAllQueuedRecords("max retries (" + std::to_string(maxRetries) +
                                     ") exceeded after repeated HTTP 413");
                return payload.completion(true);
            }
            int newCap = 0;
            {
                std::lock_guard lock(batchLimitsLock_);
                const int smaller = std::min(static_cast<int>(payload.records.size()), batchLimits_.cap);
                newCap = smaller > 1 ? smaller / 2 : 1;
                batchLimits_.flushAt = std::max(1, std::min(newCap, batchLimits_.flushAt / 2));
                batchLimits_.cap = newCap;
            }
            hedgeLog("Queue: HTTP 413, halved batch cap to " + std::to_string(newCap));
            return payload.completion(false);
        }
        hedgeLog("Queue: dropping batch after HTTP 413 (cap == 1)");
        {
            std::lock_guard lock(stateLock_);
            retryCount_ = 0;
        }
        return payload.completion(true);
    }
    int count = 0;
    {
        std::lock_guard lock(stateLock_);
        count = ++retryCount_;
    }
    if (count <= maxRetries) {
        const double seconds = std::min(count * 5.0, 30.0);
        pauseFor(seconds);
        hedgeLog("Pausing queue consumption for " + shortestDecimal(seconds) + " seconds due to " +
                 std::to_string(count) + " API failure(s).");
        return payload.completion(false);
    }
    dropAllQueuedRecords("max retries (" + std::to_string(maxRetries) + ") exceeded");
    payload.completion(true);
}

template <typename Record>
void OrbitQueue<Record>::pauseFor(double seconds) {
    const auto until = now_() + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
    std::lock_guard lock(stateLock_);
    pausedUntil_ = until;
}

template <typename Record>
void OrbitQueue<Record>::dropAllQueuedRecords(const std::string& reason) {
    hedgeLog("Queue: dropping all queued records \u2014 " + reason);
    fileQueue_.clear();
    std::lock_guard lock(stateLock_);
    retryCount_ = 0;
    pausedUntil_.reset();
}

}  // namespace orbit
