// libFuzzer target over what error tracking reads from outside: a stored crash report turned into
// exception properties, Mach-O headers and address texts. Not part of the build; from the top of
// the tree, after the crash reporter's message code was generated in build/:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src -I build/src/crashreporter/generated \
//     tests/orbit/fuzz/error_tracking_fuzz.cpp src/orbit/ErrorTracking/*.cpp src/orbit/ErrorTracking/*/*.cpp \
//     src/orbit/OrbitHost.cpp src/orbit/Utils/*.cpp src/orbit/Queue/OrbitDispatchQueue.cpp src/posix/*.cpp \
//     src/crashreporter/OBCrashReport.cpp src/crashreporter/OBCrashLog.cpp build/src/crashreporter/generated/crashreporter/obcrash.pb-c.c \
//     -lprotobuf-c -lz -o /tmp/error_tracking_fuzz
//   /tmp/error_tracking_fuzz -max_total_time=180 -max_len=8192
#include <cstdint>
#include <span>
#include <string>

#include "crashreporter/OBCrashReport.h"
#include "orbit/ErrorTracking/OrbitCrashReportProcessor.h"
#include "orbit/ErrorTracking/OrbitDebugImageProvider.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const orbit::OrbitErrorTrackingConfig config;
    const std::span<const uint8_t> bytes(data, size);
    if (const auto report = obcrash::OBCrashReport::initWithData(bytes))
        (void)orbit::OrbitCrashReportProcessor::processReport(*report, config).dump();
    if (const auto image = orbit::OrbitDebugImageProvider::parseImageInfo(bytes, 0x1000, "fuzz"))
        (void)image->toDictionary().dump();
    (void)orbit::OrbitDebugImageProvider::parseAddress(std::string(bytes.begin(), bytes.end()));
    return 0;
}
