#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "crashreporter/OBCrashTracedException.h"

namespace orbit {

// An exception that records the return addresses of the place where it is made, so that a report
// of it shows where it was thrown rather than where it was caught. Throw it, or derive from it; one
// never caught gives a crash report these addresses too.
class OrbitTracedException : public std::runtime_error, public obcrash::OBCrashTracedException {
public:
    explicit OrbitTracedException(const std::string& what);

    // Innermost first; the first is in the function that made the exception.
    const std::vector<uintptr_t>& callStackReturnAddresses() const noexcept override {
        return callStackReturnAddresses_;
    }

private:
    std::vector<uintptr_t> callStackReturnAddresses_;
};

}  // namespace orbit
