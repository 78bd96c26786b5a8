#pragma once
#include <atomic>

#include "platform/Date.h"

namespace platform {

// The present moment, injectable so that tests control time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
};

class SystemClock final : public Clock {
public:
    Date now() const override;
};

// A clock that stands still until a test moves it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(Date start = Date{800000000.0}) : seconds_(start.secondsSince2001) {}
    Date now() const override { return Date{seconds_.load()}; }
    void set(Date date) { seconds_ = date.secondsSince2001; }
    void advance(double seconds) { seconds_ = seconds_.load() + seconds; }

private:
    std::atomic<double> seconds_;
};

}  // namespace platform
