#pragma once
#include <atomic>
#include <memory>

namespace orbit {

// A shared pointer that one thread may replace while others read it. A reader gets its own
// reference, so what it took stays alive however the field changes meanwhile. Take one snapshot
// with load() when a value is tested and then used: two reads may see two different values.
template <typename T>
class AtomicShared {
public:
    AtomicShared() = default;
    explicit AtomicShared(std::shared_ptr<T> value) : value_(std::move(value)) {}
    AtomicShared(const AtomicShared&) = delete;
    AtomicShared& operator=(const AtomicShared&) = delete;

    AtomicShared& operator=(std::shared_ptr<T> value) {
        store(std::move(value));
        return *this;
    }

    std::shared_ptr<T> load() const { return value_.load(); }
    explicit operator bool() const { return load() != nullptr; }
    void store(std::shared_ptr<T> value) { value_.store(std::move(value)); }
    std::shared_ptr<T> exchange(std::shared_ptr<T> value) { return value_.exchange(std::move(value)); }
    // For one use in one expression; the reference lives until the expression ends.
    std::shared_ptr<T> operator->() const { return value_.load(); }

private:
    std::atomic<std::shared_ptr<T>> value_;
};

}  // namespace orbit
