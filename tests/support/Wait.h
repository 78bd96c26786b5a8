#pragma once
#include <functional>

namespace testsupport {

// Asks every 10 ms until the condition holds; false when the time is up.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

}  // namespace testsupport
