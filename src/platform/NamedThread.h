#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

// A thread of its own under a name that ps, top and debuggers show (at most 15 characters are
// kept). Destroying it waits for the body to return; from the thread itself, it lets go instead.
class NamedThread {
public:
    NamedThread(std::string name, std::function<void()> body);
    ~NamedThread();
    NamedThread(const NamedThread&) = delete;
    NamedThread& operator=(const NamedThread&) = delete;

    // True once the body has returned: joining then does not wait.
    bool finished() const { return *finished_; }

private:
    // Shared with the thread, which may outlive this object when it let go of itself.
    std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
    std::thread thread_;  // last: it starts once everything it uses is in place
};

}  // namespace platform
