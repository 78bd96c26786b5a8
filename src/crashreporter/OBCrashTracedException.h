#pragma once
#include <cstdint>
#include <vector>

namespace obcrash {

// An exception that recorded where it was made. When one is never caught, the report shows these
// return addresses rather than the stack of the place that ends the process.
class OBCrashTracedException {
public:
    virtual ~OBCrashTracedException() = default;
    // Innermost first.
    virtual const std::vector<uintptr_t>& callStackReturnAddresses() const noexcept = 0;
};

}  // namespace obcrash
