#pragma once

namespace obcrash {

// One line of the system log, "[OBCrashReporter] " followed by the formatted message. Not for
// crash time: it allocates and locks.
void obcrashLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace obcrash
