#include "orbit/DI.h"

namespace orbit {

ApplicationLifecyclePublisher& ApplicationLifecyclePublisher::shared() {
    static ApplicationLifecyclePublisher* const instance = new ApplicationLifecyclePublisher();
    return *instance;
}

namespace DI {

AppLifecyclePublishing& Container::appLifecyclePublisher() { return *appLifecyclePublisher_; }

Container& main() {
    static Container* const instance = new Container();
    return *instance;
}

}  // namespace DI
}  // namespace orbit
