#pragma once
#include <string>

namespace obcrash {

// A failure of the crash reporter's API, as a value.
struct OBCrashReporterError {
    static constexpr const char* kDomain = "OBCrashReporterErrorDomain";
    // A stored report that cannot be read.
    static constexpr int kCrashReportInvalid = 2;

    std::string domain = kDomain;
    int code = 0;
    std::string description;
};

}  // namespace obcrash
