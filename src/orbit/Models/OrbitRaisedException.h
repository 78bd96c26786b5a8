#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orbit {

// An exception that was raised and caught by the host and so carries the return addresses of the
// stack it was raised on; one made but never raised has none. It may wrap the one that caused it.
struct OrbitRaisedException {
    std::string name;
    std::optional<std::string> reason;
    std::vector<uint64_t> callStackReturnAddresses;
    std::shared_ptr<const OrbitRaisedException> underlying;
};

}  // namespace orbit
