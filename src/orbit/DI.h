#pragma once
#include <memory>
#include <variant>

#include "orbit/Utils/OrbitMulticastCallback.h"

namespace orbit {

// Announces the application's life cycle to whoever subscribes. The host calls the three
// handlers from its own notifications, on the thread that posts them.
class AppLifecyclePublishing {
public:
    virtual ~AppLifecyclePublishing() = default;
    OrbitMulticastCallback<std::monostate> onDidBecomeActive;
    OrbitMulticastCallback<std::monostate> onDidEnterBackground;
    OrbitMulticastCallback<std::monostate> onDidFinishLaunching;
};

class ApplicationLifecyclePublisher : public AppLifecyclePublishing {
public:
    static ApplicationLifecyclePublisher& shared();
    void appDidFinishLaunching() { onDidFinishLaunching.invoke({}); }
    void appDidEnterBackground() { onDidEnterBackground.invoke({}); }
    void appDidBecomeActive() { onDidBecomeActive.invoke({}); }
};

// The process-wide container through which the client finds its publishers.
namespace DI {

class Container {
public:
    AppLifecyclePublishing& appLifecyclePublisher();

private:
    // Filled when the container is made (once, thread-safely), so readers on any thread never race.
    AppLifecyclePublishing* const appLifecyclePublisher_ = &ApplicationLifecyclePublisher::shared();
};

Container& main();

}  // namespace DI
}  // namespace orbit
