#pragma once
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/KeyDown.h"
#include "desktop/x11/X11KeyTap.h"
#include "support/ChildProcess.h"
#include "support/XvfbServer.h"

namespace x11test {

// The X server most tests of this program share (no window manager); started on first use.
testsupport::XvfbServer& sharedServer();

// Runs a command against the display and answers its exit code.
int run(const std::string& display, std::vector<std::string> argv, std::string* output = nullptr);

// A tap running on a thread of its own, collecting every key it delivers. The constructor
// returns once the recording is under way (a Pause press typed until it shows); Pause presses
// are not collected.
class RecordingTap {
public:
    // `onKey` runs on the tap's thread for every key, before it is collected.
    explicit RecordingTap(const std::string& display, std::function<void(const desktop::KeyDown&)> onKey = nullptr);
    ~RecordingTap();

    // The recording delivered the probe key before the time was up.
    bool recording() {
        std::lock_guard lock(mutex_);
        return recording_;
    }
    // Waits until `count` keys have arrived (bounded); answers the keys seen.
    std::vector<desktop::KeyDown> waitForKeys(size_t count, int timeoutMs = 5000);
    // Stops the tap and answers what run() returned; none when run() did not end in time.
    std::optional<desktop::KeyTap::RunResult> stop(int timeoutMs = 5000);
    // Waits for run() to end by itself.
    std::optional<desktop::KeyTap::RunResult> result(int timeoutMs = 5000);

private:
    desktop::X11KeyTap tap_;
    bool recording_ = false;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<desktop::KeyDown> keys_;
    std::future<desktop::KeyTap::RunResult> run_;
};

}  // namespace x11test
