#include "crashreporter/OBCrashReporterConfig.h"

#include <utility>

namespace obcrash {

OBCrashReporterConfig::OBCrashReporterConfig() : OBCrashReporterConfig(kSignalHandlerTypeBSD, 0, true, std::nullopt) {}

OBCrashReporterConfig::OBCrashReporterConfig(std::optional<std::filesystem::path> basePath)
    : OBCrashReporterConfig(kSignalHandlerTypeBSD, 0, true, std::move(basePath)) {}

OBCrashReporterConfig::OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy)
    : OBCrashReporterConfig(signalHandlerType, symbolicationStrategy, true, std::nullopt) {}

OBCrashReporterConfig::OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             std::optional<std::filesystem::path> basePath)
    : OBCrashReporterConfig(signalHandlerType, symbolicationStrategy, true, std::move(basePath)) {}

OBCrashReporterConfig::OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler)
    : OBCrashReporterConfig(signalHandlerType, symbolicationStrategy, shouldRegisterUncaughtExceptionHandler,
                            std::nullopt) {}

OBCrashReporterConfig::OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler,
                                             std::optional<std::filesystem::path> basePath)
    : OBCrashReporterConfig(signalHandlerType, symbolicationStrategy, shouldRegisterUncaughtExceptionHandler,
                            std::move(basePath), kDefaultMaxReportBytes) {}

OBCrashReporterConfig::OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler,
                                             std::optional<std::filesystem::path> basePath, uint64_t maxReportBytes)
    : signalHandlerType_(signalHandlerType),
      symbolicationStrategy_(symbolicationStrategy),
      shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler),
      basePath_(basePath && basePath->empty() ? std::nullopt : std::move(basePath)),
      maxReportBytes_(maxReportBytes) {}

}  // namespace obcrash
