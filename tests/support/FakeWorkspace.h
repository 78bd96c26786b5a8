#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/Workspace.h"

namespace testsupport {

// A desktop with one frontmost application the test chooses; records activations and URLs.
class FakeWorkspace final : public desktop::Workspace {
public:
    std::optional<desktop::RunningApplication> frontmostApplication() override {
        std::lock_guard lock(mutex_);
        return frontmost_;
    }
    bool activate(const desktop::RunningApplication& application) override {
        std::lock_guard lock(mutex_);
        activated_.push_back(application);
        frontmost_ = application;
        return true;
    }
    bool hasWindowManager() override { return false; }
    bool openURL(const std::string& url) override {
        std::lock_guard lock(mutex_);
        openedURLs_.push_back(url);
        return opens_;
    }
    // A desktop with no browser to open: every URL is refused.
    void setOpens(bool opens) {
        std::lock_guard lock(mutex_);
        opens_ = opens;
    }

    void setFrontmost(std::optional<desktop::RunningApplication> application) {
        std::lock_guard lock(mutex_);
        frontmost_ = std::move(application);
    }
    std::vector<desktop::RunningApplication> activated() const {
        std::lock_guard lock(mutex_);
        return activated_;
    }
    std::vector<std::string> openedURLs() const {
        std::lock_guard lock(mutex_);
        return openedURLs_;
    }

    static desktop::RunningApplication application(int64_t pid, std::string windowClass, uint64_t window = 0) {
        return desktop::RunningApplication{pid, std::move(windowClass), window};
    }

private:
    mutable std::mutex mutex_;
    std::optional<desktop::RunningApplication> frontmost_;
    std::vector<desktop::RunningApplication> activated_;
    std::vector<std::string> openedURLs_;
    bool opens_ = true;
};

}  // namespace testsupport
