#pragma once
#include <string>

namespace orbit {

// The client's identity values, each made and stored on first use.
class OrbitStorageManager {
public:
    virtual ~OrbitStorageManager() = default;

    // The anonymous id while no distinct id was set.
    virtual std::string getDistinctId() = 0;
    virtual std::string getAnonymousId() = 0;
    // Empty counts as none.
    virtual std::string getDeviceId() = 0;
};

}  // namespace orbit
