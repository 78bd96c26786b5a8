#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orbit/Models/OrbitEvent.h"
#include "orbit/Queue/OrbitDispatchQueue.h"
#include "orbit/Queue/OrbitQueue.h"

namespace orbit {

class OrbitApi;

// The replay buffer's folder, emptied and made again each time the client starts.
class OrbitReplayBufferQueue {
public:
    explicit OrbitReplayBufferQueue(std::filesystem::path queue);
    const std::filesystem::path& folder() const { return queue_; }

private:
    const std::filesystem::path queue_;
    std::mutex itemsLock_;
    std::vector<std::string> items_;
};

// The send queue of session-replay events ("$snapshot"): a queue on the snapshot endpoint, and
// beside it the replay buffer, which this client only prepares.
class OrbitReplayQueue {
public:
    // The reachability, when given, must outlive the queue; the api is kept alive by it.
    OrbitReplayQueue(std::shared_ptr<OrbitConfig> config, const OrbitStorage& storage, std::shared_ptr<OrbitApi> api,
                     Reachability* reachability, Now now = systemNow);

    void start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting) {
        innerQueue_->start(disableReachabilityForTesting, disableQueueTimerForTesting);
    }
    void add(const OrbitEvent& event) { innerQueue_->add(event); }
    void flush() { innerQueue_->flush(); }
    void stop() { innerQueue_->stop(); }
    const OrbitQueue<OrbitEvent>& innerQueue() const { return *innerQueue_; }

private:
    OrbitDispatchQueue bufferIOQueue_{"com.orbit.ReplayBufferIO"};
    std::shared_ptr<OrbitQueue<OrbitEvent>> innerQueue_;
    OrbitReplayBufferQueue bufferQueue_;
};

// Milliseconds since 1970, the fraction dropped toward zero.
int64_t dateToMillis(OrbitDate date);

}  // namespace orbit
