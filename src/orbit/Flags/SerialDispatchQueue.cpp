#include "orbit/Flags/SerialDispatchQueue.h"

#include <pthread.h>

namespace orbit {

SerialDispatchQueue::SerialDispatchQueue(std::string label) : label_(std::move(label)) {
    // The thread keeps the state alive: when the queue is destroyed from one of its own blocks,
    // the thread is left to finish on its own.
    thread_ = std::thread([state = state_, name = label_.substr(0, 15)] {
        pthread_setname_np(pthread_self(), name.c_str());
        std::unique_lock lock(state->lock);
        for (;;) {
            state->wake.wait(lock, [&] { return state->stopping || !state->blocks.empty(); });
            if (state->blocks.empty()) return;
            auto block = std::move(state->blocks.front());
            state->blocks.pop_front();
            lock.unlock();
            block();
            block = nullptr;  // what the block held goes here, outside the lock
            lock.lock();
        }
    });
}

SerialDispatchQueue::~SerialDispatchQueue() {
    {
        std::lock_guard lock(state_->lock);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void SerialDispatchQueue::async(std::function<void()> block) {
    {
        std::lock_guard lock(state_->lock);
        state_->blocks.push_back(std::move(block));
    }
    state_->wake.notify_one();
}

}  // namespace orbit
