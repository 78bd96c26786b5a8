#include "orbit/Utils/HedgeLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "posix/LogText.h"

namespace orbit {
namespace {

std::atomic<bool> hedgeLogEnabled{false};

struct Sink {
    std::mutex lock;
    HedgeLogSink sink;
};

// Never destroyed: the client's threads may still log while the process exits.
Sink& sink() {
    static Sink* const instance = new Sink();
    return *instance;
}

}  // namespace

void hedgeLog(const std::string& message) {
    if (!hedgeLogEnabled.load(std::memory_order_relaxed)) return;
    // Messages carry file names, server answers and stored values: escaped here, once for all.
    const std::string line = "[Orbit] " + posix::escapedForLog(message);
    HedgeLogSink current;
    {
        auto& out = sink();
        std::lock_guard lock(out.lock);
        current = out.sink;
    }
    // Called outside the lock, so that a sink may log in turn.
    if (current) return current(line);
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void toggleHedgeLog(bool enabled) { hedgeLogEnabled.store(enabled, std::memory_order_relaxed); }

bool isHedgeLogEnabled() { return hedgeLogEnabled.load(std::memory_order_relaxed); }

void setHedgeLogSink(HedgeLogSink sink_) {
    auto& out = sink();
    std::lock_guard lock(out.lock);
    out.sink = std::move(sink_);
}

}  // namespace orbit
