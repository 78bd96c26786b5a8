#include "orbit/Utils/Clock.h"

namespace orbit {

OrbitDate systemNow() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

std::string nanosNow(const Now& now) {
    const auto micros = now().time_since_epoch().count();
    if (micros <= 0) return "0";
    return std::to_string(static_cast<unsigned long long>(micros) * 1000ULL);
}

std::string nanosNow() { return nanosNow(systemNow); }

}  // namespace orbit
