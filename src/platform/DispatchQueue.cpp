#include "platform/DispatchQueue.h"

namespace platform {
namespace {
thread_local const DispatchQueue* currentQueue = nullptr;
}

DispatchQueue::DispatchQueue(std::string label, int width) : label_(std::move(label)) {
    for (int i = 0; i < std::max(1, width); ++i) workers_.emplace_back([this] { run(); });
}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) {
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();
        else
            worker.join();
    }
}

void DispatchQueue::async(Task task) { asyncAfter(std::chrono::milliseconds(0), std::move(task)); }

void DispatchQueue::asyncAfter(std::chrono::milliseconds delay, Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        items_.push({std::chrono::steady_clock::now() + delay, nextSequence_++, std::move(task)});
    }
    wake_.notify_one();
}

bool DispatchQueue::isCurrent() const { return currentQueue == this; }

void DispatchQueue::run() {
    currentQueue = this;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (items_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = items_.top().due;
        if (due > std::chrono::steady_clock::now()) {
            wake_.wait_until(lock, due);
            continue;
        }
        Task task = std::move(const_cast<Item&>(items_.top()).task);
        items_.pop();
        lock.unlock();
        task();
        lock.lock();
    }
}

}  // namespace platform
