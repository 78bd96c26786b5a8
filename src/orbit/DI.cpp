#include "orbit/DI.h"

namespace orbit {

ApplicationLifecyclePublisher& ApplicationLifecyclePublisher::shared() {
    static ApplicationLifecyclePublisher* const instance = new ApplicationLifecyclePublisher();
    return *instance;
}

ApplicationScreenViewPublisher& ApplicationScreenViewPublisher::shared() {
    static ApplicationScreenViewPublisher* const instance = new ApplicationScreenViewPublisher();
    return *instance;
}

void ApplicationScreenViewPublisher::startAutoCapture(Handler handler) {
    std::lock_guard lock(handlerLock_);
    autoCaptureHandler_ = std::move(handler);
}

void ApplicationScreenViewPublisher::stopAutoCapture() {
    std::lock_guard lock(handlerLock_);
    autoCaptureHandler_ = nullptr;
}

bool ApplicationScreenViewPublisher::hasAutoCaptureHandler() {
    std::lock_guard lock(handlerLock_);
    return autoCaptureHandler_ != nullptr;
}

namespace DI {

ScreenViewPublishing& Container::screenViewPublisher() { return *screenViewPublisher_; }

AppLifecyclePublishing& Container::appLifecyclePublisher() { return *appLifecyclePublisher_; }

Container& main() {
    static Container* const instance = new Container();
    return *instance;
}

}  // namespace DI
}  // namespace orbit
