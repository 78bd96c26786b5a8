#include "crashreporter/OBCrashLog.h"

#include <cstdarg>

#include "platform/Log.h"

namespace obcrash {

void obcrashLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = platform::formatString(format, args);
    va_end(args);
    static const platform::Log log("com.sablix.crashreporter", "OBCrashReporter");
    log.notice("[OBCrashReporter] %s", message.c_str());
}

}  // namespace obcrash
