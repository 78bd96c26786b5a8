#include "platform/Clock.h"

#include <chrono>

namespace platform {

Date SystemClock::now() const {
    using namespace std::chrono;
    const double unix = duration<double>(system_clock::now().time_since_epoch()).count();
    return Date::fromUnix(unix);
}

}  // namespace platform
