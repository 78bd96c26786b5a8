#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/Pasteboard.h"

namespace testsupport {

// An in-memory clipboard for tests. Every write, from the code under test or from the test
// itself (standing in for another application), moves the change count. It can be made
// unreadable (a frozen owner) or made to refuse writes. Another application pasting is serve().
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

    bool clearContents() override {
        std::lock_guard lock(mutex_);
        if (refuseWrites_) return false;
        ++writes_;
        emptyLocked();
        return true;
    }

    int64_t servedChangeCount() override { return servedChangeCount_.load(); }

    void setServedHandler(std::function<void()> handler) override {
        std::lock_guard lock(handlerMutex_);
        servedHandler_ = std::move(handler);
    }

    // Another application pastes: it is handed the text, and the latest write counts as served.
    std::optional<std::string> serve() {
        auto text = string();
        {
            std::lock_guard lock(mutex_);
            if (!owned_) return text;
            servedChangeCount_ = changeCount_.load();
        }
        std::lock_guard lock(handlerMutex_);
        if (servedHandler_) servedHandler_();
        return text;
    }

    // Another application empties the clipboard (its owner went away).
    void clear() {
        std::lock_guard lock(mutex_);
        emptyLocked();
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
    void emptyLocked() {
        contents_ = {};
        owned_ = false;
        ++changeCount_;
    }

    mutable std::mutex mutex_;
    desktop::PasteboardContents contents_;
    bool owned_ = false;
    bool unreadable_ = false;
    bool refuseWrites_ = false;
    int writes_ = 0;
    int reads_ = 0;
    std::atomic<int64_t> changeCount_{0};
    std::atomic<int64_t> servedChangeCount_{0};
    std::mutex handlerMutex_;
    std::function<void()> servedHandler_;
};

}  // namespace testsupport
