#pragma once
#include <array>
#include <cstdint>
#include <mutex>

#include "orbit/Utils/Clock.h"
#include "orbit/Utils/SpinLock.h"
#include "orbit/Utils/Uuid.h"

namespace orbit {

// Version 7 identifiers: 48 bits of Unix milliseconds, then random bits. Within one millisecond
// the random part counts upwards instead, so identifiers made in a row by one generator sort in
// the order they were made, from any number of threads.
class TimeBasedEpochGenerator {
public:
    explicit TimeBasedEpochGenerator(Now now = systemNow);
    TimeBasedEpochGenerator(const TimeBasedEpochGenerator&) = delete;
    TimeBasedEpochGenerator& operator=(const TimeBasedEpochGenerator&) = delete;

    // The one generator of the process, on the system clock: identifiers are ordered across
    // every user only when they share it.
    static TimeBasedEpochGenerator& shared();

    Uuid v7();

private:
    Uuid generateUUID();  // with lock_ held

    const Now now_;
    // The lock and what it guards share one cache line, apart from everything else: threads
    // taking turns then move one line between processors instead of two or three.
    struct alignas(64) {
        SpinLock lock;
        std::array<uint8_t, 10> lastEntropy{};
        uint64_t lastTimestamp = 0;
    } state_;
};

}  // namespace orbit
