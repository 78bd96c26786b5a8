#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace orbit {

// One subscription: its function runs exactly once, when the token is destroyed.
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

// A list of subscribers to one kind of announcement. Subscribers run outside the list's lock, so
// one may subscribe or unsubscribe while being called; a running announcement keeps the list it
// started with.
template <typename Value>
class OrbitMulticastCallback {
public:
    using Callback = std::function<void(const Value&)>;

    std::function<void(size_t)> onSubscriberCountChanged;

    // The callback stays subscribed while the token lives, or until the list is gone.
    std::unique_ptr<RegistrationToken> subscribe(Callback callback) {
        size_t count = 0;
        uint64_t id = 0;
        {
            std::lock_guard lock(state_->lock);
            id = state_->nextId++;
            state_->callbacks.emplace(id, std::move(callback));
            count = state_->callbacks.size();
        }
        if (onSubscriberCountChanged) onSubscriberCountChanged(count);
        std::weak_ptr<State> weakState = state_;
        auto countChanged = onSubscriberCountChanged;
        return std::make_unique<RegistrationToken>([weakState, id, countChanged] {
            const auto state = weakState.lock();
            if (!state) return;
            size_t remaining = 0;
            {
                std::lock_guard lock(state->lock);
                state->callbacks.erase(id);
                remaining = state->callbacks.size();
            }
            if (countChanged) countChanged(remaining);
        });
    }

    void invoke(const Value& value) const {
        std::vector<Callback> copy;
        {
            std::lock_guard lock(state_->lock);
            for (const auto& [id, callback] : state_->callbacks) copy.push_back(callback);
        }
        for (const auto& callback : copy) callback(value);
    }

private:
    struct State {
        std::mutex lock;
        std::map<uint64_t, Callback> callbacks;
        uint64_t nextId = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace orbit
