#pragma once
#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace obcrash {

struct OBCrashHostInfoVersion {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t revision = 0;
};

// The kernel's version, read from its release ("6.1.0-18-amd64" is 6.1.0).
class OBCrashHostInfo {
public:
    // Empty when the release cannot be read.
    static std::optional<OBCrashHostInfo> currentHostInfo();
    static OBCrashHostInfo fromRelease(const std::string& release);
    OBCrashHostInfoVersion darwinVersion() const { return _darwinVersion; }

private:
    OBCrashHostInfoVersion _darwinVersion;
};

// Facts about a running process, from /proc.
class OBCrashProcessInfo {
public:
    static std::optional<OBCrashProcessInfo> currentProcessInfo();
    // Empty when the process does not exist or its record cannot be read.
    static std::optional<OBCrashProcessInfo> initWithProcessID(pid_t pid);
    // From the texts of /proc/<pid>/stat and /proc/<pid>/status, the boot time in seconds since the
    // epoch and the clock ticks per second; empty when the stat record is malformed.
    static std::optional<OBCrashProcessInfo> fromRecords(pid_t pid, const std::string& stat, const std::string& status,
                                                         long long bootTime, long ticksPerSecond);

    pid_t processID() const { return _processID; }
    // Empty when the name has no valid UTF-8 prefix.
    const std::optional<std::string>& processName() const { return _processName; }
    pid_t parentProcessID() const { return _parentProcessID; }
    timeval startTime() const { return _startTime; }
    bool isTraced() const { return _traced; }

private:
    pid_t _processID = 0;
    std::optional<std::string> _processName;
    pid_t _parentProcessID = 0;
    timeval _startTime{};
    bool _traced = false;
};

}  // namespace obcrash
