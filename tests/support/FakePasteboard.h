#pragma once
#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/Pasteboard.h"

namespace testsupport {

// An in-memory clipboard for tests. Every write, from the code under test or from the test
// itself (standing in for another application), moves the change count. It can be made
// unreadable (a frozen owner) or made to refuse writes.
class FakePasteboard final : public desktop::Pasteboard {
public:
    static constexpr const char* kTextType = "text/plain;charset=utf-8";

    int64_t changeCount() override { return changeCount_.load(); }

    std::optional<std::string> string() override {
        std::lock_guard lock(mutex_);
        ++reads_;
        if (unreadable_) return std::nullopt;
        for (const auto& [type, bytes] : contents_.formats)
            if (type == kTextType || type == "UTF8_STRING" || type == "text/plain") return bytes;
        return std::nullopt;
    }

    std::optional<desktop::PasteboardContents> contents(std::chrono::milliseconds) override {
        std::lock_guard lock(mutex_);
        ++reads_;
        if (unreadable_ || !owned_) return std::nullopt;
        return contents_;
    }

    bool setString(const std::string& text) override {
        return setContents(desktop::PasteboardContents{{{kTextType, text}}});
    }

    bool setContents(const desktop::PasteboardContents& contents) override {
        std::lock_guard lock(mutex_);
        if (refuseWrites_) return false;
        contents_ = contents;
        owned_ = true;
        ++writes_;
        ++changeCount_;
        return true;
    }

    // The application pastes at once: what this process wrote counts as served.
    int64_t servedChangeCount() override { return changeCount_.load(); }

    // Another application empties the clipboard (its owner went away).
    void clear() {
        std::lock_guard lock(mutex_);
        contents_ = {};
        owned_ = false;
        ++changeCount_;
    }

    void setUnreadable(bool unreadable) {
        std::lock_guard lock(mutex_);
        unreadable_ = unreadable;
    }
    void setRefuseWrites(bool refuse) {
        std::lock_guard lock(mutex_);
        refuseWrites_ = refuse;
    }

    // What is on the clipboard, whatever its state.
    desktop::PasteboardContents stored() const {
        std::lock_guard lock(mutex_);
        return contents_;
    }
    int writeCount() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    int readCount() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }

private:
    mutable std::mutex mutex_;
    desktop::PasteboardContents contents_;
    bool owned_ = false;
    bool unreadable_ = false;
    bool refuseWrites_ = false;
    int writes_ = 0;
    int reads_ = 0;
    std::atomic<int64_t> changeCount_{0};
};

}  // namespace testsupport
