#include "orbit/ErrorTracking/Models/OrbitTracedException.h"

#include <execinfo.h>

namespace orbit {
namespace {

constexpr int kMaxFrames = 128;

}  // namespace

// Not inlined, so that the first recorded address, which lies here, can be dropped.
__attribute__((noinline)) OrbitTracedException::OrbitTracedException(const std::string& what)
    : std::runtime_error(what) {
    void* addresses[kMaxFrames];
    const int count = backtrace(addresses, kMaxFrames);
    for (int i = 1; i < count; ++i) callStackReturnAddresses_.push_back(reinterpret_cast<uintptr_t>(addresses[i]));
}

}  // namespace orbit
