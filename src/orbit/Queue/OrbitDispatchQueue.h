#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orbit {

// Where a task is handed to run later, in order (the host's main queue, a serial queue).
using OrbitExecutor = std::function<void(std::function<void()>)>;

// A serial queue on one named thread of its own. Tasks run one at a time in the order given.
// Destroying it runs the tasks already given and stops the thread; destroyed from one of its own
// tasks, it lets the thread finish on its own.
class OrbitDispatchQueue {
public:
    explicit OrbitDispatchQueue(std::string label);
    ~OrbitDispatchQueue();
    OrbitDispatchQueue(const OrbitDispatchQueue&) = delete;
    OrbitDispatchQueue& operator=(const OrbitDispatchQueue&) = delete;

    void async(std::function<void()> task);
    // Runs task on the queue and waits for it; at once when already on the queue.
    void sync(const std::function<void()>& task);
    bool isCurrent() const;
    OrbitExecutor executor();
    const std::string& label() const { return label_; }

private:
    struct State {
        std::mutex lock;
        std::condition_variable wake;
        std::deque<std::function<void()>> tasks;
        bool stopping = false;
    };
    static void run(std::shared_ptr<State> state, std::string label);

    const std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Calls tick every period on a thread of its own until it is stopped or destroyed; the first
// call comes one period after the start. Stopping from inside a tick does not wait for it.
class OrbitRepeatingTimer {
public:
    OrbitRepeatingTimer(std::chrono::milliseconds period, std::function<void()> tick);
    ~OrbitRepeatingTimer() { invalidate(); }
    OrbitRepeatingTimer(const OrbitRepeatingTimer&) = delete;
    OrbitRepeatingTimer& operator=(const OrbitRepeatingTimer&) = delete;

    void invalidate();

private:
    struct State {
        std::mutex lock;
        std::condition_variable wake;
        bool stopped = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace orbit
