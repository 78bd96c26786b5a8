#pragma once
#include <functional>
#include <memory>
#include <string>

#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

// Announcements by name, in process: observers are called on the thread that posts.
class OrbitNotificationCenter {
public:
    using Observer = std::function<void(const std::string& name)>;

    static OrbitNotificationCenter& defaultCenter();

    // The observer stays while the token lives.
    std::unique_ptr<RegistrationToken> addObserver(const std::string& name, Observer observer);
    void post(const std::string& name);

private:
    OrbitMulticastCallback<const std::string&> posted_;
};

}  // namespace orbit
