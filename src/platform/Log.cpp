#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace platform {
namespace {

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Notice: return "notice";
    case LogLevel::Error: return "error";
    case LogLevel::Fault: return "fault";
    }
    return "";
}

void stderrSink(const LogRecord& r) {
    std::fprintf(stderr, "[%s:%s] %s: %s\n", r.subsystem.c_str(), r.category.c_str(), levelName(r.level),
                 r.message.c_str());
}

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

LogSink& currentSink() {
    static LogSink sink = stderrSink;
    return sink;
}

}  // namespace

void setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = sink ? std::move(sink) : LogSink(stderrSink);
}

void emitLog(const LogRecord& record) {
    std::lock_guard lock(sinkMutex());
    currentSink()(record);
}

std::string formatString(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<size_t>(needed));
}

Log::Log(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Log::write(LogLevel level, const char* format, va_list args) const {
    emitLog({level, subsystem_, category_, formatString(format, args)});
}

#define SABLIX_LOG_LEVEL(method, level)               \
    void Log::method(const char* format, ...) const { \
        va_list args;                                 \
        va_start(args, format);                       \
        write(level, format, args);                   \
        va_end(args);                                 \
    }
SABLIX_LOG_LEVEL(debug, LogLevel::Debug)
SABLIX_LOG_LEVEL(info, LogLevel::Info)
SABLIX_LOG_LEVEL(notice, LogLevel::Notice)
SABLIX_LOG_LEVEL(error, LogLevel::Error)
SABLIX_LOG_LEVEL(fault, LogLevel::Fault)
#undef SABLIX_LOG_LEVEL

}  // namespace platform
