#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "orbit/Utils/Uuid.h"

namespace orbit {

// Runs its function once, when it is destroyed: whoever holds it keeps a subscription alive.
class RegistrationToken {
public:
    explicit RegistrationToken(std::function<void()> onDealloc) : onDealloc_(std::move(onDealloc)) {}
    ~RegistrationToken() {
        if (onDealloc_) onDealloc_();
    }
    RegistrationToken(const RegistrationToken&) = delete;
    RegistrationToken& operator=(const RegistrationToken&) = delete;

private:
    std::function<void()> onDealloc_;
};

// A list of subscribers to one kind of announcement. Invoking copies the list under the lock and
// calls the copies after releasing it, so a subscriber may subscribe or unsubscribe meanwhile.
// A token may outlive the list: it then removes nothing.
template <typename Value>
class OrbitMulticastCallback {
public:
    using Callback = std::function<void(Value)>;

    std::unique_ptr<RegistrationToken> subscribe(Callback callback) {
        const auto key = Uuid::v7();
        std::optional<size_t> count;
        {
            std::lock_guard lock(state_->lock);
            state_->callbacks[key] = std::move(callback);
            count = state_->callbacks.size();
        }
        notifyCount(*count);
        std::weak_ptr<State> weak = state_;
        return std::make_unique<RegistrationToken>([weak, key] {
            const auto state = weak.lock();
            if (!state) return;
            size_t remaining = 0;
            std::function<void(size_t)> changed;
            {
                std::lock_guard lock(state->lock);
                if (state->callbacks.erase(key) == 0) return;
                remaining = state->callbacks.size();
                changed = state->onSubscriberCountChanged;
            }
            if (changed) changed(remaining);
        });
    }

    void invoke(Value value) {
        std::vector<Callback> callbacks;
        {
            std::lock_guard lock(state_->lock);
            for (const auto& [key, callback] : state_->callbacks) callbacks.push_back(callback);
        }
        for (const auto& callback : callbacks) callback(value);
    }

    void setOnSubscriberCountChanged(std::function<void(size_t)> changed) {
        std::lock_guard lock(state_->lock);
        state_->onSubscriberCountChanged = std::move(changed);
    }

private:
    struct State {
        std::mutex lock;
        std::map<Uuid, Callback> callbacks;
        std::function<void(size_t)> onSubscriberCountChanged;
    };

    void notifyCount(size_t count) {
        std::function<void(size_t)> changed;
        {
            std::lock_guard lock(state_->lock);
            changed = state_->onSubscriberCountChanged;
        }
        if (changed) changed(count);
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace orbit
