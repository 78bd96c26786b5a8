#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>

namespace obcrash {

// What a reporter installs and where it keeps its report. Immutable: each constructor fills what
// it leaves out with the defaults below.
class OBCrashReporterConfig {
public:
    // POSIX handlers for the six crash signals.
    static constexpr uint64_t kSignalHandlerTypeBSD = 0;
    // The exception server for the hardware faults, a POSIX handler for SIGABRT.
    static constexpr uint64_t kSignalHandlerTypeMach = 1;
    static constexpr uint64_t kDefaultMaxReportBytes = 0x100000;

    OBCrashReporterConfig();
    // An empty base path means the user's cache folder.
    explicit OBCrashReporterConfig(std::optional<std::filesystem::path> basePath);
    OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy);
    OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                          std::optional<std::filesystem::path> basePath);
    OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler);
    OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler, std::optional<std::filesystem::path> basePath);
    OBCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler, std::optional<std::filesystem::path> basePath,
                          uint64_t maxReportBytes);
    // A string literal would otherwise pick the Boolean form: say which path is meant.
    OBCrashReporterConfig(uint64_t, uint64_t, const char*) = delete;

    static OBCrashReporterConfig defaultConfiguration() { return {}; }

    uint64_t signalHandlerType() const { return signalHandlerType_; }
    uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
    bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }
    const std::optional<std::filesystem::path>& basePath() const { return basePath_; }
    uint64_t maxReportBytes() const { return maxReportBytes_; }

private:
    uint64_t signalHandlerType_;
    uint64_t symbolicationStrategy_;
    bool shouldRegisterUncaughtExceptionHandler_;
    std::optional<std::filesystem::path> basePath_;
    uint64_t maxReportBytes_;
};

}  // namespace obcrash
