// libFuzzer target for the report reader and the text formatter; not part of the build. From the
// top of the tree, after a build has generated the message code into build/:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc -Ibuild/src/crashreporter/generated \
//     tests/crashreporter/fuzz/report_reader_fuzz.cc src/crashreporter/OBCrashReport.cpp \
//     src/crashreporter/OBCrashReportTextFormatter.cpp src/crashreporter/OBCrashLog.cpp \
//     build/src/crashreporter/generated/crashreporter/obcrash.pb-c.c \
//     -lprotobuf-c -o /tmp/report_reader_fuzz
//   /tmp/report_reader_fuzz -max_total_time=300
#include <cstddef>
#include <cstdint>

#include "crashreporter/OBCrashReport.h"
#include "crashreporter/OBCrashReportTextFormatter.h"
#include "crashreporter/OBCrashLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        obcrash::setOBCrashLogSink([](const std::string&) {});
        return true;
    }();
    (void)quiet;
    obcrash::OBCrashReporterError error;
    if (auto report = obcrash::OBCrashReport::initWithData({data, size}, &error)) {
        obcrash::OBCrashReportTextFormatter::stringValueForCrashReport(*report, obcrash::OBCrashReportTextFormat::Standard);
    }
    return 0;
}
