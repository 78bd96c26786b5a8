#pragma once
#include <cstdint>
#include <fstream>
#include <string>

namespace testsupport {

// The process's peak resident memory since the last resetPeakResidentBytes(), in bytes.
inline int64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stoll(line.substr(6)) * 1024;
    return -1;
}

inline void resetPeakResidentBytes() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace testsupport
