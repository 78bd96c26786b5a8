#pragma once
#include "platform/DispatchQueue.h"

namespace desktop {

// The application's main queue: tasks run on the thread of the Qt event loop.
class QtMainQueue final : public platform::Executor {
public:
    void async(platform::Task task) override;
    void asyncAfter(std::chrono::milliseconds delay, platform::Task task) override;
    static QtMainQueue& shared();
};

}  // namespace desktop
