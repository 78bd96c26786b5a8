#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Expansion/FillInPresenter.h"

namespace testsupport {

// A fill-in dialog the test answers: records what it was asked for and hands the test's answer
// to the latest completion.
class FakeFillInPresenter final : public sablix::FillInPresenter {
public:
    // The dialog has the focus at once.
    void show(std::vector<std::string> fieldNames, Completion completion, Focused focused) override {
        if (focused) focused();
        std::lock_guard lock(mutex_);
        requests_.push_back(fieldNames);
        completion_ = std::move(completion);
        changed_.notify_all();
    }

    bool waitForShow(size_t count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    }
    std::vector<std::vector<std::string>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Answers the latest dialog (Insert with values, or Cancel with none) on the calling thread.
    void answer(std::optional<Values> values) {
        Completion completion;
        {
            std::lock_guard lock(mutex_);
            completion = std::move(completion_);
            completion_ = nullptr;
        }
        if (completion) completion(std::move(values));
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> requests_;
    Completion completion_;
};

}  // namespace testsupport
