#pragma once
#include <functional>
#include <string>

namespace obcrash {

// One line of the reporter's log, "[OBCrashReporter] " followed by the formatted message. Not for
// crash time: it allocates and locks.
void obcrashLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where the lines go: standard error until a host routes them into its own log. The reporter
// stands alone (the analytics client links it), so it knows no log of the application's.
using OBCrashLogSink = std::function<void(const std::string& line)>;
void setOBCrashLogSink(OBCrashLogSink sink);

}  // namespace obcrash
