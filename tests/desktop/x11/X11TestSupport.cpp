#include "X11TestSupport.h"

#include <chrono>

namespace x11test {
namespace {

// The Pause key tells that the recording is under way; the tests type nothing else with it.
constexpr uint32_t kProbeKeycode = 127;

}  // namespace

testsupport::XvfbServer& sharedServer() {
    static testsupport::XvfbServer server;
    return server;
}

int run(const std::string& display, std::vector<std::string> argv, std::string* output) {
    int code = -1;
    const auto out = testsupport::runCommand(argv, &code, 10000, {"DISPLAY=" + display});
    if (output) *output = out;
    return code;
}

RecordingTap::RecordingTap(const std::string& display, std::function<void(const desktop::KeyDown&)> onKey)
    : tap_(display) {
    const bool created = tap_.create(
        [this, onKey](const desktop::KeyDown& key) {
            if (key.xKeycode == kProbeKeycode) {
                std::lock_guard lock(mutex_);
                recording_ = true;
                arrived_.notify_all();
                return;
            }
            if (onKey) onKey(key);
            std::lock_guard lock(mutex_);
            keys_.push_back(key);
            arrived_.notify_all();
        },
        {});
    if (!created) return;
    run_ = std::async(std::launch::async, [this] { return tap_.run(); });
    std::unique_lock lock(mutex_);
    for (int i = 0; i < 100 && !recording_; ++i) {
        lock.unlock();
        run(display, {"xdotool", "key", "Pause"});
        lock.lock();
        arrived_.wait_for(lock, std::chrono::milliseconds(50), [&] { return recording_; });
    }
}

RecordingTap::~RecordingTap() { stop(); }

std::vector<desktop::KeyDown> RecordingTap::waitForKeys(size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return keys_.size() >= count; });
    return keys_;
}

std::optional<desktop::KeyTap::RunResult> RecordingTap::stop(int timeoutMs) {
    if (!run_.valid()) return std::nullopt;
    tap_.stop();
    return result(timeoutMs);
}

std::optional<desktop::KeyTap::RunResult> RecordingTap::result(int timeoutMs) {
    if (!run_.valid()) return std::nullopt;
    if (run_.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) return std::nullopt;
    return run_.get();
}

}  // namespace x11test
