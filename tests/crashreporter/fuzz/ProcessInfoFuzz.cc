// libFuzzer target for the process record and kernel release parsers; not part of the build. Run
// from the top folder:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     tests/crashreporter/fuzz/ProcessInfoFuzz.cc src/crashreporter/OBCrashProcessInfo.cpp \
//     src/crashreporter/OBCrashSysctl.cpp src/crashreporter/OBCrashLog.cpp -o /tmp/process_info_fuzz
//   /tmp/process_info_fuzz -max_total_time=300 <corpus folder seeded with /proc/self/stat>
// The input is split at its first NUL into the stat and the status record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crashreporter/OBCrashLog.h"
#include "crashreporter/OBCrashProcessInfo.h"
#include "crashreporter/OBCrashSysctl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (obcrash::setOBCrashLogSink([](const std::string&) {}), true);
    (void)quiet;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string stat = input.substr(0, split);
    const std::string status = split == std::string::npos ? std::string() : input.substr(split + 1);
    obcrash::OBCrashProcessInfo::fromRecords(1, stat, status, 1700000000, size % 7 == 0 ? 1 : 100);
    obcrash::OBCrashHostInfo::fromRelease(stat);
    obcrash_sysctl_valid_utf8_bytes_max(data, size);
    return 0;
}
