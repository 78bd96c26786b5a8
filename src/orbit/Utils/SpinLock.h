#pragma once
#include <atomic>

namespace orbit {

// A lock for state held a few dozen nanoseconds at a time by many threads. Waiters spin with a
// growing pause instead of sleeping in the kernel: there, each hand-over costs a wake-up system
// call, far longer than the work the lock guards. A waiter that spun for long yields its
// processor, in case the holder lost its own.
class SpinLock {
public:
    void lock();
    bool try_lock() { return !locked_.exchange(true, std::memory_order_acquire); }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

}  // namespace orbit
