#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orbit {

// Runs blocks one at a time, in the order they were added, on a thread of its own named after
// the label. Destroying the queue runs the blocks already added, then stops the thread; from a
// block of its own it does not wait.
class SerialDispatchQueue {
public:
    explicit SerialDispatchQueue(std::string label);
    ~SerialDispatchQueue();
    SerialDispatchQueue(const SerialDispatchQueue&) = delete;
    SerialDispatchQueue& operator=(const SerialDispatchQueue&) = delete;

    void async(std::function<void()> block);
    const std::string& label() const { return label_; }

private:
    struct State {
        std::mutex lock;
        std::condition_variable wake;
        std::deque<std::function<void()>> blocks;
        bool stopping = false;
    };

    const std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;  // last: it starts once the state is in place
};

}  // namespace orbit
