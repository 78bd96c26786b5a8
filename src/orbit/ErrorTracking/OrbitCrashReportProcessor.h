#pragma once
#include <nlohmann/json.hpp>

#include "crashreporter/OBCrashReport.h"
#include "orbit/ErrorTracking/OrbitErrorTrackingConfig.h"

namespace orbit {

// The properties of the "$exception" event of a crash of an earlier run.
class OrbitCrashReportProcessor {
public:
    OrbitCrashReportProcessor() = delete;

    // "$exception_level", and "$exception_list" and "$debug_images" as far as the report has them.
    static nlohmann::json processReport(const obcrash::OBCrashReport& report, const OrbitErrorTrackingConfig& config);
};

}  // namespace orbit
