#include "orbit/Utils/SpinLock.h"

#include <thread>

namespace orbit {
namespace {

constexpr unsigned kMaxPauses = 256;  // per round, after doubling from one
constexpr unsigned kPausesBeforeYield = 1 << 14;

void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

void SpinLock::lock() {
    unsigned pauses = 1, spun = 0;
    while (!try_lock()) {
        // Wait on a plain read, so that waiters do not take the line from the holder.
        while (locked_.load(std::memory_order_relaxed)) {
            for (unsigned i = 0; i < pauses; ++i) pause();
            spun += pauses;
            if (pauses < kMaxPauses) pauses *= 2;
            if (spun >= kPausesBeforeYield) {
                std::this_thread::yield();
                spun = 0;
            }
        }
    }
}

}  // namespace orbit
