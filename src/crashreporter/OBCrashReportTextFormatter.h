#pragma once
// A decoded report as a human-readable crash log. Nothing in the application calls it; it is
// there for whoever wants to read a report.
#include <cstdint>
#include <string>
#include <vector>

#include "crashreporter/OBCrashReport.h"

namespace obcrash {

// There is one layout; the value is accepted for the callers that name one.
enum class OBCrashReportTextFormat { Standard = 0 };

enum class OBCrashReportStringEncoding {
    UTF8,
    // Every character outside ASCII becomes "?".
    ASCII,
};

class OBCrashReportTextFormatter {
public:
    OBCrashReportTextFormatter(OBCrashReportTextFormat textFormat, OBCrashReportStringEncoding stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    static std::string stringValueForCrashReport(const OBCrashReport& report, OBCrashReportTextFormat textFormat);

    // The text in the formatter's encoding; `error` is never filled.
    std::vector<uint8_t> formatReport(const OBCrashReport& report, OBCrashReporterError* error = nullptr) const;

    // Ascending by base address: -1, 0 or 1.
    static int binaryImageSort(const OBCrashReportBinaryImageInfo& a, const OBCrashReportBinaryImageInfo& b);

private:
    static std::string formatStackFrame(const OBCrashReportStackFrameInfo& frame, long frameIndex,
                                        const OBCrashReport& report, bool lp64);

    OBCrashReportTextFormat textFormat_;
    OBCrashReportStringEncoding stringEncoding_;
};

}  // namespace obcrash
