#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Snippets/SnippetController.h"
#include "Expansion/TextReplacer.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeFillInPresenter.h"
#include "support/FakeKeyLayout.h"
#include "support/FakeKeyPoster.h"
#include "support/FakeKeyboardGrab.h"
#include "support/FakeKeyTap.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"

namespace enginetest {

using Entries = std::vector<std::string>;

// What happened during a replacement, in order: posted keys ("51 down", "9 up cmd"), pauses
// ("pause 50"), what the target was handed at each paste ("paste <text>") and the delays the
// restore was scheduled with ("restore after 300").
struct Timeline {
    void add(std::string entry) {
        std::lock_guard lock(mutex);
        list.push_back(std::move(entry));
    }
    Entries entries() const {
        std::lock_guard lock(mutex);
        return list;
    }
    void clear() {
        std::lock_guard lock(mutex);
        list.clear();
    }
    mutable std::mutex mutex;
    Entries list;
};

// Stands in for the delays before the clipboard restore: runs each task at once, unless the
// test holds them to act while they wait; held tasks run when the test moves the held clock past
// their time, or all at once when it releases them.
class RestoreTimer final : public platform::Executor {
public:
    void async(platform::Task task) override { asyncAfter({}, std::move(task)); }
    void asyncAfter(std::chrono::milliseconds delay, platform::Task task) override {
        if (onSchedule) onSchedule(delay);
        std::unique_lock lock(mutex_);
        if (!holding_) {
            lock.unlock();
            return task();
        }
        held_.push_back(Held{now_ + delay, std::move(task)});
        changed_.notify_all();
    }
    // Moves the held clock on, running the tasks that fall due in the order of their times.
    void advance(std::chrono::milliseconds by) {
        std::unique_lock lock(mutex_);
        const auto until = now_ + by;
        for (;;) {
            const auto next = std::ranges::min_element(held_, {}, &Held::due);
            if (next == held_.end() || next->due > until) break;
            now_ = next->due;
            auto task = std::move(next->task);
            held_.erase(next);
            lock.unlock();
            task();
            lock.lock();
        }
        now_ = until;
    }
    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    bool waitForHeld(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return held_.size() >= count; });
    }
    // Runs the held restores in order and stops holding.
    void release() {
        std::unique_lock lock(mutex_);
        auto tasks = std::exchange(held_, {});
        holding_ = false;
        lock.unlock();
        for (auto& held : tasks) held.task();
    }

    std::function<void(std::chrono::milliseconds)> onSchedule;

private:
    struct Held {
        std::chrono::milliseconds due;
        platform::Task task;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    std::chrono::milliseconds now_{0};
    std::vector<Held> held_;
};

inline constexpr int64_t kOwnPid = 4242;
inline constexpr int64_t kEditorPid = 1000;

// A TextReplacer wired to fakes. Pauses and the restore's delay return at once but are written
// into the timeline, and a test may act during one (someone copies before the clipboard restore).
class EngineHarness : public ::testing::Test {
protected:
    using ms = std::chrono::milliseconds;

    void SetUp() override {
        workspace.setFrontmost(testsupport::FakeWorkspace::application(kEditorPid, "Editor"));
        poster.setHook([this](const testsupport::PostedKey& key) {
            std::string entry = std::to_string(key.keyCode) + (key.keyDown ? " down" : " up");
            if (key.flags == desktop::keycode::kCommandFlag) entry += " cmd";
            if (key.flags == desktop::keycode::kShiftFlag) entry += " shift";
            timeline.add(entry);
            // The target pastes at once: the clipboard on Control-V, PRIMARY (as xterm) on Shift-Insert.
            if (key.keyDown && targetPastesAtOnce) {
                if (key.keyCode == desktop::keycode::kV) timeline.add("paste " + pasteboard.serve().value_or("<none>"));
                if (key.keyCode == desktop::keycode::kInsert)
                    timeline.add("paste " + primarySelection.serve().value_or("<none>"));
            }
        });
        restoreTimer.onSchedule = [this](ms delay) {
            timeline.add("restore after " + std::to_string(delay.count()));
            if (onPause) onPause(delay);
        };
    }

    void TearDown() override { replacer.reset(); }

    void storeLibrary(const std::vector<sablix::SnippetItem>& items) {
        ASSERT_TRUE(sablix::SnippetController(defaults, clock).saveItems(items));
    }

    sablix::SnippetItem snippet(const std::string& title, const std::string& content) const {
        return sablix::SnippetItem(platform::Uuid::generate(), title, content, {}, clock);
    }

    sablix::TextReplacer::Collaborators collaborators() {
        return sablix::TextReplacer::Collaborators{
            .makeTap = taps.factory(),
            .keyLayout = layout,
            .keyPoster = poster,
            .keyboardGrab = keyboardGrab,
            .pasteboard = pasteboard,
            .primarySelection = primarySelection,
            .workspace = workspace,
            .accessibility = accessibility,
            .defaults = defaults,
            .loadTeamSnippets = {},
            .analytics = analytics,
            .fillInController = fillIn,
            .clock = clock,
            .ownProcessIdentifier = kOwnPid,
            .sleep =
                [this](ms duration) {
                    timeline.add("pause " + std::to_string(duration.count()));
                    if (onPause) onPause(duration);
                },
            .restoreTimer = &restoreTimer,
        };
    }

    // Builds the engine (with the given wiring) and starts its tap.
    void start(std::optional<sablix::TextReplacer::Collaborators> wiring = std::nullopt) {
        replacer = std::make_unique<sablix::TextReplacer>(wiring ? std::move(*wiring) : collaborators());
        const size_t index = taps.created();
        replacer->registerTap();
        tap = taps.waitForRunningTap(index);
        ASSERT_TRUE(tap);
    }

    void press(const desktop::KeyDown& key) { ASSERT_TRUE(tap->deliver(key)); }

    // Types the text into the tap key by key and waits for everything it set off.
    void type(const std::string& text) {
        for (const auto& key : layout.keysFor(text)) press(key);
        replacer->waitUntilIdle();
    }

    bool pasted(const std::string& content) const {
        const auto entries = timeline.entries();
        return std::ranges::find(entries, "paste " + content) != entries.end();
    }

    // The posted keys only, without pauses, pastes and restores.
    Entries keyEntries() const {
        Entries keys;
        for (const auto& e : timeline.entries())
            if (e.rfind("pause", 0) != 0 && e.rfind("paste", 0) != 0 && e.rfind("restore", 0) != 0) keys.push_back(e);
        return keys;
    }
    size_t leftArrows() const { return std::ranges::count(keyEntries(), std::string("123 down")); }

    static Entries backspaces(size_t count) {
        Entries entries;
        for (size_t i = 0; i < count; ++i) entries.insert(entries.end(), {"51 down", "51 up"});
        return entries;
    }
    static Entries concat(std::initializer_list<Entries> parts) {
        Entries all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    testsupport::FakeKeyTapFactory taps;
    testsupport::FakeKeyLayout layout;
    testsupport::FakeKeyPoster poster;
    testsupport::FakeKeyboardGrab keyboardGrab;
    testsupport::FakePasteboard pasteboard;
    testsupport::FakePasteboard primarySelection;
    RestoreTimer restoreTimer;
    testsupport::FakeWorkspace workspace;
    testsupport::FakeAccessibility accessibility;
    platform::FakeClock clock;
    platform::MemoryDefaults defaults;
    testsupport::FakeAnalyticsTracking analytics;
    testsupport::FakeFillInPresenter fillIn;

    Timeline timeline;
    std::atomic<bool> targetPastesAtOnce{true};  // false: the test serves the paste itself, later
    std::function<void(ms)> onPause;             // during a pause or the restore's delay
    testsupport::LogCapture logs;

    std::unique_ptr<sablix::TextReplacer> replacer;
    std::shared_ptr<testsupport::FakeKeyTap::Channel> tap;
};

}  // namespace enginetest
