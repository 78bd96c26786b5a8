#include "orbit/Queue/OrbitDispatchQueue.h"

#include <future>
#include <pthread.h>

namespace orbit {

OrbitDispatchQueue::OrbitDispatchQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()), thread_(run, state_, label_) {}

OrbitDispatchQueue::~OrbitDispatchQueue() {
    {
        std::lock_guard lock(state_->lock);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (std::this_thread::get_id() == thread_.get_id())
        thread_.detach();
    else
        thread_.join();
}

void OrbitDispatchQueue::run(std::shared_ptr<State> state, std::string label) {
    // Linux keeps at most 15 characters of a thread's name.
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
    std::unique_lock lock(state->lock);
    for (;;) {
        state->wake.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
        if (state->tasks.empty()) return;
        auto task = std::move(state->tasks.front());
        state->tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // its captures go before the lock is taken again
        lock.lock();
    }
}

void OrbitDispatchQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(state_->lock);
        state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
}

void OrbitDispatchQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) return task();
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

bool OrbitDispatchQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

OrbitExecutor OrbitDispatchQueue::executor() {
    std::weak_ptr<State> weak = state_;
    return [weak](std::function<void()> task) {
        const auto state = weak.lock();
        if (!state) return;
        {
            std::lock_guard lock(state->lock);
            state->tasks.push_back(std::move(task));
        }
        state->wake.notify_one();
    };
}

OrbitRepeatingTimer::OrbitRepeatingTimer(std::chrono::milliseconds period, std::function<void()> tick) {
    thread_ = std::thread([state = state_, period, tick = std::move(tick)] {
        pthread_setname_np(pthread_self(), "orbit.timer");
        std::unique_lock lock(state->lock);
        for (;;) {
            if (state->wake.wait_for(lock, period, [&] { return state->stopped; })) return;
            lock.unlock();
            tick();
            lock.lock();
        }
    });
}

void OrbitRepeatingTimer::invalidate() {
    {
        std::lock_guard lock(state_->lock);
        state_->stopped = true;
    }
    state_->wake.notify_all();
    if (!thread_.joinable()) return;
    if (std::this_thread::get_id() == thread_.get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace orbit
