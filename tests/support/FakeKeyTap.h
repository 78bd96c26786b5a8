#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "desktop/KeyTap.h"

namespace testsupport {

// A keystroke tap the test drives: keys handed to deliver() reach the handler on the run()
// thread, as with a real tap; fail() ends run() as a lost connection would.
class FakeKeyTap final : public desktop::KeyTap {
public:
    // The test's side of one tap; it outlives the tap object, which the engine owns.
    class Channel {
    public:
        bool create(KeyHandler onKeyDown, ButtonHandler) {
            std::lock_guard lock(mutex_);
            handler_ = std::move(onKeyDown);
            return true;
        }

        RunResult run() {
            std::unique_lock lock(mutex_);
            running_ = true;
            changed_.notify_all();
            for (;;) {
                changed_.wait(lock, [this] { return stopped_ || failed_ || !keys_.empty(); });
                if (stopped_ || failed_) break;
                const desktop::KeyDown key = keys_.front();
                keys_.pop_front();
                lock.unlock();
                handler_(key);
                lock.lock();
                ++delivered_;
                changed_.notify_all();
            }
            running_ = false;
            finished_ = true;
            changed_.notify_all();
            return stopped_ ? RunResult::stopped : RunResult::failed;
        }

        void stop() {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            changed_.notify_all();
        }

        // Hands one key to the tap and waits until its handler has run; false when the tap is
        // not running (or does not get to it within a few seconds).
        bool deliver(const desktop::KeyDown& key) {
            std::unique_lock lock(mutex_);
            if (!running_) return false;
            keys_.push_back(key);
            const size_t target = delivered_ + keys_.size();
            changed_.notify_all();
            return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
                return delivered_ >= target || finished_;
            }) && delivered_ >= target;
        }

        // The tap stops delivering on its own.
        void fail() {
            std::lock_guard lock(mutex_);
            failed_ = true;
            changed_.notify_all();
        }

        bool waitUntilRunning(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
            std::unique_lock lock(mutex_);
            return changed_.wait_for(lock, timeout, [this] { return running_; });
        }
        bool waitUntilFinished(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
            std::unique_lock lock(mutex_);
            return changed_.wait_for(lock, timeout, [this] { return finished_; });
        }
        bool stopped() {
            std::lock_guard lock(mutex_);
            return stopped_;
        }

    private:
        std::mutex mutex_;
        std::condition_variable changed_;
        KeyHandler handler_;
        std::deque<desktop::KeyDown> keys_;
        size_t delivered_ = 0;
        bool running_ = false;
        bool finished_ = false;
        bool stopped_ = false;
        bool failed_ = false;
    };

    explicit FakeKeyTap(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}
    bool create(KeyHandler onKeyDown, ButtonHandler onButtonDown) override {
        return channel_->create(std::move(onKeyDown), std::move(onButtonDown));
    }
    RunResult run() override { return channel_->run(); }
    void stop() override { channel_->stop(); }

private:
    std::shared_ptr<Channel> channel_;
};

// Makes fake taps for an engine and keeps the test's side of every one of them.
class FakeKeyTapFactory {
public:
    desktop::KeyTapFactory factory() {
        return [this]() -> std::unique_ptr<desktop::KeyTap> {
            std::lock_guard lock(mutex_);
            ++attempts_;
            if (failCreate_) return nullptr;
            channels_.push_back(std::make_shared<FakeKeyTap::Channel>());
            changed_.notify_all();
            return std::make_unique<FakeKeyTap>(channels_.back());
        };
    }

    void setFailCreate(bool fail) {
        std::lock_guard lock(mutex_);
        failCreate_ = fail;
    }
    size_t attempts() {
        std::lock_guard lock(mutex_);
        return attempts_;
    }
    size_t created() {
        std::lock_guard lock(mutex_);
        return channels_.size();
    }
    // The tap number `index` (0 first), once it has been made and runs; null on time-out.
    std::shared_ptr<FakeKeyTap::Channel> waitForRunningTap(
        size_t index = 0, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::shared_ptr<FakeKeyTap::Channel> channel;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, timeout, [&] { return channels_.size() > index; })) return nullptr;
            channel = channels_[index];
        }
        return channel->waitUntilRunning(timeout) ? channel : nullptr;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<FakeKeyTap::Channel>> channels_;
    size_t attempts_ = 0;
    bool failCreate_ = false;
};

}  // namespace testsupport
