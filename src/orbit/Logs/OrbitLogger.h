#pragma once
#include <memory>

namespace orbit {

class OrbitSDK;

// The front of log capture for one client, which it refers to weakly.
class OrbitLogger {
public:
    explicit OrbitLogger(std::weak_ptr<OrbitSDK> sdk) : sdk(std::move(sdk)) {}

    std::weak_ptr<OrbitSDK> sdk;
};

}  // namespace orbit
