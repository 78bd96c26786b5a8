#include "orbit/Queue/OrbitReplayQueue.h"

#include <system_error>

#include "orbit/Utils/FileUtils.h"
#include "orbit/Utils/HedgeLog.h"
#include "posix/PrivateFiles.h"

namespace orbit {

OrbitReplayBufferQueue::OrbitReplayBufferQueue(std::filesystem::path queue) : queue_(std::move(queue)) {
    deleteSafely(queue_);
    if (const auto made = posix::createPrivateFolder(queue_); !made)
        hedgeLog("Error trying to create replay buffer folder " + made.message());
    std::lock_guard lock(itemsLock_);
    items_.clear();
}

OrbitReplayQueue::OrbitReplayQueue(std::shared_ptr<OrbitConfig> config, const OrbitStorage& storage,
                                   std::shared_ptr<OrbitApi> api, Reachability* reachability, Now now)
    : innerQueue_(OrbitQueue<OrbitEvent>::make(std::move(config), storage,
                                               holding(QueueEndpoint<OrbitEvent>::snapshot(*api), api), reachability,
                                               std::move(now))),
      bufferQueue_(storage.appFolderUrl() / "orbit.replayBufferFolder") {}

int64_t dateToMillis(OrbitDate date) {
    // Microseconds to milliseconds; integer division drops the fraction toward zero.
    return date.time_since_epoch().count() / 1000;
}

}  // namespace orbit
