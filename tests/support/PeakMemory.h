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

// Under AddressSanitizer freed memory stays resident for a while (its quarantine): what the
// in-process test backend frees while it sends an answer (each piece is copied through a few
// temporaries on its way out), and the client's own copies of what it read, show in the peak too.
// A bound on the client's memory allows for a few times what was sent; the bytes sent, which no
// quarantine changes, are bounded on their own.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int64_t kCopiesKeptPerByteSent = 4;
#else
inline constexpr int64_t kCopiesKeptPerByteSent = 0;
#endif

// What was freed while the backend sent `sent` bytes and still counts in the peak.
inline int64_t keptOfWhatTheBackendSent(int64_t sent) { return kCopiesKeptPerByteSent * sent; }

}  // namespace testsupport
