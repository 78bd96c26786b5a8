#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace platform {

using Task = std::function<void()>;

// Somewhere to run work later: a dispatch queue, or the application's main thread.
class Executor {
public:
    virtual ~Executor() = default;
    virtual void async(Task task) = 0;
    virtual void asyncAfter(std::chrono::milliseconds delay, Task task) = 0;
};

// A labelled queue of tasks run by its own worker threads. With width 1 it is serial: tasks run
// one at a time in the order they became due (equal due times keep submission order). Wider
// queues stand in for the platform's global concurrent queues.
class DispatchQueue final : public Executor {
public:
    explicit DispatchQueue(std::string label, int width = 1);
    ~DispatchQueue() override;  // pending tasks are dropped; a running task is waited for
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    void async(Task task) override;
    void asyncAfter(std::chrono::milliseconds delay, Task task) override;

    // Runs the function on the queue and waits for its result. Called from a task of this very
    // queue, it runs inline instead of waiting on itself.
    template <class F>
    auto sync(F&& f) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent()) return f();
        std::packaged_task<R()> task(std::forward<F>(f));
        auto result = task.get_future();
        async([&task] { task(); });
        return result.get();
    }

    bool isCurrent() const;
    const std::string& label() const { return label_; }

private:
    struct Item {
        std::chrono::steady_clock::time_point due;
        uint64_t sequence;
        Task task;
        bool operator>(const Item& other) const {
            return due != other.due ? due > other.due : sequence > other.sequence;
        }
    };

    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> items_;
    uint64_t nextSequence_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace platform
