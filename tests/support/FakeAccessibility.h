#pragma once
#include <mutex>
#include <optional>
#include <vector>

#include "desktop/Accessibility.h"

namespace testsupport {

// Accessibility trust the test grants or withholds, and a focused text element whose selection
// the test sets up (none by default, as on X11).
class FakeAccessibility final : public desktop::Accessibility {
public:
    bool isProcessTrusted(bool prompt) override {
        std::lock_guard lock(mutex_);
        prompts_.push_back(prompt);
        return trusted_;
    }
    std::optional<desktop::TextRange> focusedSelectedTextRange(const desktop::RunningApplication&) override {
        std::lock_guard lock(mutex_);
        return selection_;
    }
    bool setFocusedSelectedTextRange(const desktop::RunningApplication&, desktop::TextRange range) override {
        std::lock_guard lock(mutex_);
        setRanges_.push_back(range);
        return acceptsSelection_;
    }

    void setTrusted(bool trusted) {
        std::lock_guard lock(mutex_);
        trusted_ = trusted;
    }
    // The focused element's selection, and whether setting it succeeds.
    void setSelection(std::optional<desktop::TextRange> selection, bool acceptsSelection) {
        std::lock_guard lock(mutex_);
        selection_ = selection;
        acceptsSelection_ = acceptsSelection;
    }
    // The prompt argument of every trust check, in order.
    std::vector<bool> prompts() const {
        std::lock_guard lock(mutex_);
        return prompts_;
    }
    std::vector<desktop::TextRange> setRanges() const {
        std::lock_guard lock(mutex_);
        return setRanges_;
    }

private:
    mutable std::mutex mutex_;
    bool trusted_ = true;
    std::optional<desktop::TextRange> selection_;
    bool acceptsSelection_ = false;
    std::vector<bool> prompts_;
    std::vector<desktop::TextRange> setRanges_;
};

}  // namespace testsupport
