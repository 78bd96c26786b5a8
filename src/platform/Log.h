#pragma once
#include <cstdarg>
#include <functional>
#include <string>

namespace platform {

enum class LogLevel { Debug, Info, Notice, Error, Fault };

struct LogRecord {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
};

// Where log records go. The process has one sink (stderr by default); tests swap in a
// capturing one with ScopedLogCapture.
using LogSink = std::function<void(const LogRecord&)>;
void setLogSink(LogSink sink);
void emitLog(const LogRecord& record);

// A logger for one subsystem and category, with printf-style messages.
class Log {
public:
    Log(std::string subsystem, std::string category);

    void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void notice(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void fault(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    void write(LogLevel level, const char* format, va_list args) const;

    std::string subsystem_;
    std::string category_;
};

// The application's own loggers all share this subsystem.
inline constexpr const char* kAppSubsystem = "com.sablix.app";
inline Log appLog(std::string category) { return Log(kAppSubsystem, std::move(category)); }

std::string formatString(const char* format, va_list args);

}  // namespace platform
