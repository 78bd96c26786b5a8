#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "desktop/KeyPoster.h"

namespace testsupport {

struct PostedKey {
    int keyCode = 0;
    bool keyDown = false;
    uint64_t flags = 0;
    friend bool operator==(const PostedKey&, const PostedKey&) = default;
};

// Records every key posted through its sources, in order. A hook sees each event as it is
// posted (to look at the clipboard at the moment of a paste, say); it can be told to refuse
// event sources.
class FakeKeyPoster final : public desktop::KeyPoster {
public:
    using Hook = std::function<void(const PostedKey&)>;

    std::unique_ptr<desktop::KeyEventSource> createEventSource() override {
        std::lock_guard lock(mutex_);
        ++sourcesRequested_;
        if (refuseSources_) return nullptr;
        return std::make_unique<Source>(*this);
    }

    std::vector<PostedKey> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    void setHook(Hook hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    void setRefuseSources(bool refuse) {
        std::lock_guard lock(mutex_);
        refuseSources_ = refuse;
    }
    int sourcesRequested() const {
        std::lock_guard lock(mutex_);
        return sourcesRequested_;
    }

private:
    class Source final : public desktop::KeyEventSource {
    public:
        explicit Source(FakeKeyPoster& poster) : poster_(poster) {}
        void postKey(int keyCode, bool keyDown, uint64_t flags) override { poster_.record({keyCode, keyDown, flags}); }
        void sync() override {}

    private:
        FakeKeyPoster& poster_;
    };

    void record(const PostedKey& key) {
        Hook hook;
        {
            std::lock_guard lock(mutex_);
            events_.push_back(key);
            hook = hook_;
        }
        if (hook) hook(key);
    }

    mutable std::mutex mutex_;
    std::vector<PostedKey> events_;
    Hook hook_;
    bool refuseSources_ = false;
    int sourcesRequested_ = 0;
};

}  // namespace testsupport
