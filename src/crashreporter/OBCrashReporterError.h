#pragma once
#include <string>

namespace obcrash {

// A failure of the crash reporter's API, as a value.
struct OBCrashReporterError {
    static constexpr const char* kDomain = "OBCrashReporterErrorDomain";
    static constexpr const char* kPosixDomain = "NSPOSIXErrorDomain";
    static constexpr const char* kMachDomain = "NSMachErrorDomain";
    // A system call failed; the underlying error carries its errno or Mach return code.
    static constexpr int kOperatingSystem = 1;
    // A stored report that cannot be read.
    static constexpr int kCrashReportInvalid = 2;

    std::string domain = kDomain;
    int code = 0;
    std::string description;
    // Empty when there is no underlying error.
    std::string underlyingDomain;
    int underlyingCode = 0;

    static OBCrashReporterError posix(int errnum, std::string description) {
        return {kDomain, kOperatingSystem, std::move(description), kPosixDomain, errnum};
    }
    static OBCrashReporterError mach(int kernReturn, std::string description) {
        return {kDomain, kOperatingSystem, std::move(description), kMachDomain, kernReturn};
    }
};

// Fills `*out` when the caller asked for the error.
inline void obcrashPopulateError(OBCrashReporterError* out, OBCrashReporterError error) {
    if (out != nullptr) *out = std::move(error);
}

}  // namespace obcrash
