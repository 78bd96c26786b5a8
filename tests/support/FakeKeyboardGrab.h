#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "desktop/KeyboardGrab.h"

namespace testsupport {

// A keyboard the test lets the engine hold, or not (another client holds it: the default). It
// tracks whether it is grabbed right now, and a hook sees each change: "grab", "ungrab", "let go"
// (the last hold released: the held keys are posted) and "set aside" (released, its keys kept).
//
// With a marker key set, a first hold gathers the keys the tap shows before it as leaked (they
// reached the application before the keyboard was held), as the real hold does with the key it
// posts; the test delivers the marker where the grab would have taken effect.
class FakeKeyboardGrab final : public desktop::KeyboardGrab {
public:
    using Hook = std::function<void(const std::string&)>;

    bool hold() override {
        std::unique_lock lock(mutex_);
        if (!grantHolds_) return false;
        if (holds_ == 0) {
            leaked_.clear();
            gathering_ = marker_.has_value();
        }
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
    // The engine's bursts go through its key poster, between pause() and resume().
    bool postThrough(int, size_t, uint64_t) override { return false; }
    void release() override {
        std::unique_lock lock(mutex_);
        if (holds_ == 0 || --holds_ > 0) return;
        gathering_ = false;
        if (std::exchange(settingAside_, false)) {
            setAside_.insert(setAside_.end(), leaked_.begin(), leaked_.end());
            leaked_.clear();
            change(lock, false, "set aside");
            return;
        }
        if (std::exchange(setAsideDue_, false)) {
            reposted_.insert(reposted_.end(), setAside_.begin(), setAside_.end());
            setAside_.clear();
        }
        reposted_.insert(reposted_.end(), leaked_.begin(), leaked_.end());
        leaked_.clear();
        change(lock, false, "let go");
    }
    void setAside() override {
        std::lock_guard lock(mutex_);
        if (holds_ > 0) settingAside_ = true;
    }
    void postSetAside() override {
        std::lock_guard lock(mutex_);
        if (holds_ > 0) {
            setAsideDue_ = true;
            return;
        }
        reposted_.insert(reposted_.end(), setAside_.begin(), setAside_.end());
        setAside_.clear();
    }
    bool withheld(const desktop::KeyDown& key) override {
        std::lock_guard lock(mutex_);
        if (marker_ && key.xKeycode == marker_->xKeycode) {
            gathering_ = false;
            markerShown_.notify_all();
            return true;
        }
        if (!gathering_ || holds_ == 0) return false;
        leaked_.push_back(key);
        return true;
    }
    std::vector<desktop::KeyDown> leaked(std::chrono::milliseconds patience) override {
        std::unique_lock lock(mutex_);
        markerShown_.wait_for(lock, patience, [this] { return !gathering_; });
        gathering_ = false;
        return leaked_;
    }

    void setMarker(std::optional<desktop::KeyDown> marker) {
        std::lock_guard lock(mutex_);
        marker_ = std::move(marker);
    }
    // The leaked keys posted again at let go, in order.
    std::vector<desktop::KeyDown> reposted() const {
        std::lock_guard lock(mutex_);
        return reposted_;
    }

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
    std::optional<desktop::KeyDown> marker_;
    bool gathering_ = false;
    std::vector<desktop::KeyDown> leaked_;
    std::vector<desktop::KeyDown> reposted_;
    bool settingAside_ = false;
    bool setAsideDue_ = false;
    std::vector<desktop::KeyDown> setAside_;
    std::condition_variable markerShown_;
};

}  // namespace testsupport
