#pragma once
#include <functional>
#include <mutex>
#include <string>

#include "desktop/KeyboardGrab.h"

namespace testsupport {

// A keyboard the test lets the engine hold, or not (another client holds it: the default). It
// tracks whether it is grabbed right now, and a hook sees each change: "grab", "ungrab" and
// "let go" (the last hold released: the held keys are posted).
class FakeKeyboardGrab final : public desktop::KeyboardGrab {
public:
    using Hook = std::function<void(const std::string&)>;

    bool hold() override {
        std::unique_lock lock(mutex_);
        if (!grantHolds_) return false;
        if (holds_++ == 0 && !paused_) change(lock, true, "grab");
        return true;
    }
    void pause() override {
        std::unique_lock lock(mutex_);
        paused_ = true;
        if (grabbed_) change(lock, false, "ungrab");
    }
    void resume() override {
        std::unique_lock lock(mutex_);
        paused_ = false;
        if (holds_ > 0 && !grabbed_) change(lock, true, "grab");
    }
    void release() override {
        std::unique_lock lock(mutex_);
        if (holds_ == 0 || --holds_ > 0) return;
        change(lock, false, "let go");
    }
    bool withheld(const desktop::KeyDown&) override { return false; }

    void setGrantHolds(bool grant) {
        std::lock_guard lock(mutex_);
        grantHolds_ = grant;
    }
    void setHook(Hook hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    bool grabbed() const {
        std::lock_guard lock(mutex_);
        return grabbed_;
    }
    int holds() const {
        std::lock_guard lock(mutex_);
        return holds_;
    }

private:
    void change(std::unique_lock<std::mutex>& lock, bool grabbed, const char* what) {
        grabbed_ = grabbed;
        Hook hook = hook_;
        lock.unlock();
        if (hook) hook(what);
    }

    mutable std::mutex mutex_;
    Hook hook_;
    bool grantHolds_ = false;
    int holds_ = 0;
    bool paused_ = false;
    bool grabbed_ = false;
};

}  // namespace testsupport
