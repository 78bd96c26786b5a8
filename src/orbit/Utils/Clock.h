#pragma once
#include <chrono>
#include <functional>
#include <string>

namespace orbit {

// A point in time. Microseconds reach far past every year a date text can hold, which the
// system clock's nanoseconds do not.
using OrbitDate = std::chrono::sys_time<std::chrono::microseconds>;

// Where the client reads the current time; tests pass a clock they control.
using Now = std::function<OrbitDate()>;

OrbitDate systemNow();

// The current time as decimal nanoseconds since 1970 ("0" before 1970).
std::string nanosNow(const Now& now);
std::string nanosNow();

}  // namespace orbit
