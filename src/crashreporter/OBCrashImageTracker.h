#pragma once
// Keeps an image list in line with the objects the dynamic loader has loaded. Linux tells nobody
// when a library comes or goes, so the list is compared with dl_iterate_phdr on ordinary threads:
// whenever the owner asks, and every few seconds from a thread of the tracker that walks only when
// the loader's counters of loads and unloads have moved. A library loaded after the last check is
// missing from a report made before the next one.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "OBCrashAsyncImageList.h"

namespace obcrash {

class ImageTracker {
public:
    static constexpr std::chrono::milliseconds kCheckInterval{5000};

    explicit ImageTracker(obcrash_async_image_list_t& list);
    ~ImageTracker();
    ImageTracker(const ImageTracker&) = delete;
    ImageTracker& operator=(const ImageTracker&) = delete;

    /* Compares the list with the loader's objects now: adds the new ones, removes the gone ones. */
    void sync();
    /* sync() when the loader has loaded or unloaded anything since the last one; true if it ran. */
    bool syncIfChanged();

    /* Around fork(), for a tracker the child goes on using: the child must not start with the
     * lock of a check held by a thread it does not have. */
    void holdChecks() { syncMutex_.lock(); }
    void releaseChecks() { syncMutex_.unlock(); }

    /* Starts the checking thread ("obcrash.images"); stop() or the destructor ends it. */
    void start(std::chrono::milliseconds interval = kCheckInterval);
    void stop();

private:
    struct Counters {
        unsigned long long adds = 0;
        unsigned long long subs = 0;
        bool operator==(const Counters&) const = default;
    };
    static Counters loaderCounters();
    void run(std::chrono::milliseconds interval);

    obcrash_async_image_list_t& list_;
    std::string programName_;
    std::mutex syncMutex_;
    Counters lastSeen_;
    bool synced_ = false;

    std::mutex stateMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace obcrash
