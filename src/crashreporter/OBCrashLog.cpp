#include "crashreporter/OBCrashLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace obcrash {
namespace {

struct Sink {
    std::mutex lock;
    OBCrashLogSink sink;
};

Sink& sink() {
    static Sink instance;
    return instance;
}

}  // namespace

void obcrashLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string line = "[OBCrashReporter] ";
    if (length > 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        line.append(text.data(), static_cast<size_t>(length));
    }
    va_end(args);

    OBCrashLogSink current;
    {
        auto& out = sink();
        std::lock_guard lock(out.lock);
        current = out.sink;
    }
    // Called outside the lock, so that a sink may log in turn.
    if (current) return current(line);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void setOBCrashLogSink(OBCrashLogSink sink_) {
    auto& out = sink();
    std::lock_guard lock(out.lock);
    out.sink = std::move(sink_);
}

}  // namespace obcrash
