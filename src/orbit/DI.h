#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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

// Announces the screens the client reports, and holds the handler an automatic screen capture
// would call. Nothing on this platform intercepts views, so nothing calls the handler.
class ScreenViewPublishing {
public:
    using Handler = std::function<void(const std::string& screenName)>;
    virtual ~ScreenViewPublishing() = default;
    OrbitMulticastCallback<std::string> onScreenView;
    virtual void startAutoCapture(Handler handler) = 0;
    virtual void stopAutoCapture() = 0;
};

class ApplicationScreenViewPublisher : public ScreenViewPublishing {
public:
    static ApplicationScreenViewPublisher& shared();
    void startAutoCapture(Handler handler) override;
    void stopAutoCapture() override;
    bool hasAutoCaptureHandler();

private:
    std::mutex handlerLock_;
    Handler autoCaptureHandler_;  // with handlerLock_ held
};

// The process-wide container through which the client finds its publishers.
namespace DI {

class Container {
public:
    AppLifecyclePublishing& appLifecyclePublisher();
    ScreenViewPublishing& screenViewPublisher();

private:
    // Filled when the container is made (once, thread-safely), so readers on any thread never race.
    AppLifecyclePublishing* const appLifecyclePublisher_ = &ApplicationLifecyclePublisher::shared();
    ScreenViewPublishing* const screenViewPublisher_ = &ApplicationScreenViewPublisher::shared();
};

Container& main();

}  // namespace DI
}  // namespace orbit
