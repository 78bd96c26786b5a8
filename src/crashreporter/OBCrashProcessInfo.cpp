#include "OBCrashProcessInfo.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "OBCrashLog.h"
#include "OBCrashSysctl.h"

namespace obcrash {

namespace {

// The longest name the kernel keeps for a process.
constexpr size_t kMaxNameBytes = 15;

bool readFile(const std::string& path, std::string* contents) {
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    *contents = out.str();
    return true;
}

// Seconds since the epoch at which the system booted, from /proc/stat's "btime".
std::optional<long long> bootTime() {
    std::ifstream in("/proc/stat");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("btime ", 0) == 0) return std::atoll(line.c_str() + 6);
    }
    return std::nullopt;
}

bool tracedFromStatus(const std::string& status) {
    const size_t at = status.find("\nTracerPid:");
    if (at == std::string::npos) return false;
    return std::atol(status.c_str() + at + std::strlen("\nTracerPid:")) != 0;
}

}  // namespace

std::optional<OBCrashHostInfo> OBCrashHostInfo::currentHostInfo() {
    char* release = obcrash_sysctl_string("kern.osrelease");
    if (release == nullptr) {
        const int error = errno;
        obcrashLog("Failed to fetch kern.osrelease value %d: %s", error, std::strerror(error));
        return std::nullopt;
    }
    OBCrashHostInfo info = fromRelease(release);
    std::free(release);
    return info;
}

OBCrashHostInfo OBCrashHostInfo::fromRelease(const std::string& release) {
    OBCrashHostInfo info;
    uint64_t* fields[] = {&info._darwinVersion.major, &info._darwinVersion.minor, &info._darwinVersion.revision};
    const char* at = release.c_str();
    bool complete = true;
    for (size_t i = 0; i < 3 && complete; ++i) {
        if (i > 0) {
            if (*at != '.') {
                complete = false;
                break;
            }
            ++at;
        }
        if (*at < '0' || *at > '9') {
            complete = false;
            break;
        }
        char* end = nullptr;
        *fields[i] = std::strtoull(at, &end, 10);
        at = end;
    }
    if (!complete) obcrashLog("Unexpected kern.osrelease string format: %s", release.c_str());
    return info;
}

std::optional<OBCrashProcessInfo> OBCrashProcessInfo::currentProcessInfo() { return initWithProcessID(getpid()); }

std::optional<OBCrashProcessInfo> OBCrashProcessInfo::initWithProcessID(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    std::string stat, status;
    if (pid <= 0 || !readFile(dir + "stat", &stat)) return std::nullopt;
    readFile(dir + "status", &status);
    return fromRecords(pid, stat, status, bootTime().value_or(0), sysconf(_SC_CLK_TCK));
}

std::optional<OBCrashProcessInfo> OBCrashProcessInfo::fromRecords(pid_t pid, const std::string& stat,
                                                                  const std::string& status, long long bootTime,
                                                                  long ticksPerSecond) {
    // "pid (name) state ppid ...": the name may hold spaces and parentheses, so it ends at the last ')'.
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;

    OBCrashProcessInfo info;
    info._processID = pid;
    const std::string name = stat.substr(open + 1, std::min(close - open - 1, kMaxNameBytes));
    const size_t valid =
        obcrash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const unsigned char*>(name.data()), name.size());
    if (valid > 0) info._processName = name.substr(0, valid);

    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long long parent = 0;
    fields >> state >> parent;
    // Field 22 of the record; the parent was field 4.
    unsigned long long startTicks = 0;
    std::string skipped;
    for (int field = 5; field < 22 && fields; ++field) fields >> skipped;
    fields >> startTicks;
    if (!fields) return std::nullopt;
    info._parentProcessID = static_cast<pid_t>(parent);

    if (ticksPerSecond > 0 && bootTime > 0) {
        const auto hz = static_cast<unsigned long long>(ticksPerSecond);
        const unsigned long long seconds = startTicks / hz;
        long long start = 0;
        // A record from a damaged or foreign /proc must not overflow the sum.
        if (seconds <= static_cast<unsigned long long>(INT64_MAX) &&
            !__builtin_add_overflow(bootTime, static_cast<long long>(seconds), &start)) {
            info._startTime.tv_sec = static_cast<time_t>(start);
            info._startTime.tv_usec = static_cast<suseconds_t>((startTicks % hz) * 1000000ULL / hz);
        }
    }
    info._traced = tracedFromStatus(status);
    return info;
}

}  // namespace obcrash
