#pragma once
// A stored crash report, decoded into an immutable model. Decoding runs on an ordinary thread.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crashreporter/OBCrashReporterError.h"

struct Obcrash__CrashReport;

namespace obcrash {

// Whole seconds: the report stores no finer time, and any int64 of seconds fits.
using OBCrashReportDate = std::chrono::sys_seconds;

// The values of the report's enumerations; a report may carry values outside them.
enum class OBCrashReportOperatingSystem : int {
    MacOSX = 0,
    iPhoneOS = 1,
    iPhoneSimulator = 2,
    Unknown = 3,
    AppleTVOS = 4,
};

enum class OBCrashReportArchitecture : int {
    X86_32 = 0,
    X86_64 = 1,
    ARMv6 = 2,
    PPC = 3,
    PPC64 = 4,
    ARMv7 = 5,
    Unknown = 6,
};

enum class OBCrashReportProcessorTypeEncoding : int {
    Unknown = 0,
    // type and subtype are a Mach CPU type and subtype.
    Mach = 1,
};

struct OBCrashReportProcessorInfo {
    OBCrashReportProcessorTypeEncoding typeEncoding = OBCrashReportProcessorTypeEncoding::Unknown;
    uint64_t type = 0;
    uint64_t subtype = 0;
};

struct OBCrashReportSystemInfo {
    OBCrashReportOperatingSystem operatingSystem = OBCrashReportOperatingSystem::Unknown;
    std::string operatingSystemVersion;
    std::optional<std::string> operatingSystemBuild;
    OBCrashReportArchitecture architecture = OBCrashReportArchitecture::Unknown;
    OBCrashReportProcessorInfo processorInfo;
    std::optional<OBCrashReportDate> timestamp;
};

struct OBCrashReportMachineInfo {
    std::optional<std::string> modelName;
    std::optional<OBCrashReportProcessorInfo> processorInfo;
    uint32_t processorCount = 0;
    uint32_t logicalProcessorCount = 0;
};

struct OBCrashReportApplicationInfo {
    std::string applicationIdentifier;
    std::string applicationVersion;
    std::optional<std::string> applicationMarketingVersion;
};

struct OBCrashReportProcessInfo {
    std::optional<std::string> processName;
    uint32_t processID = 0;
    std::optional<std::string> processPath;
    std::optional<OBCrashReportDate> processStartTime;
    std::optional<std::string> parentProcessName;
    uint32_t parentProcessID = 0;
    bool native = true;
};

struct OBCrashReportSignalInfo {
    std::string name;
    std::string code;
    uint64_t address = 0;
    std::optional<std::string> crashInfoMessage;
};

struct OBCrashReportMachExceptionInfo {
    uint64_t type = 0;
    std::vector<uint64_t> codes;
};

struct OBCrashReportSymbolInfo {
    std::string symbolName;
    uint64_t startAddress = 0;
    // 0 when the report has none.
    uint64_t endAddress = 0;
};

struct OBCrashReportStackFrameInfo {
    uint64_t instructionPointer = 0;
    std::optional<OBCrashReportSymbolInfo> symbolInfo;
};

struct OBCrashReportRegisterInfo {
    std::string registerName;
    uint64_t registerValue = 0;
};

struct OBCrashReportThreadInfo {
    int64_t threadNumber = 0;
    std::vector<OBCrashReportStackFrameInfo> stackFrames;
    bool crashed = false;
    std::vector<OBCrashReportRegisterInfo> registers;
};

struct OBCrashReportBinaryImageInfo {
    std::optional<OBCrashReportProcessorInfo> codeType;
    uint64_t imageBaseAddress = 0;
    uint64_t imageSize = 0;
    std::string imageName;
    // The UUID's bytes as 32 lower-case hexadecimal digits.
    std::optional<std::string> imageUUID;

    bool hasImageUUID() const { return imageUUID.has_value(); }
};

struct OBCrashReportExceptionInfo {
    std::string exceptionName;
    std::string exceptionReason;
    // None when the exception came without frames.
    std::optional<std::vector<OBCrashReportStackFrameInfo>> stackFrames;
};

class OBCrashReport {
public:
    using UUID = std::array<uint8_t, 16>;

    // The report in `data` (the 8-byte header, then the message), or none with `error` filled
    // when it is given.
    static std::unique_ptr<const OBCrashReport> initWithData(std::span<const uint8_t> data,
                                                             OBCrashReporterError* error = nullptr);
    ~OBCrashReport();
    OBCrashReport(const OBCrashReport&) = delete;
    OBCrashReport& operator=(const OBCrashReport&) = delete;

    const OBCrashReportSystemInfo& systemInfo() const { return systemInfo_; }
    bool hasMachineInfo() const { return machineInfo_.has_value(); }
    const std::optional<OBCrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
    const OBCrashReportApplicationInfo& applicationInfo() const { return applicationInfo_; }
    bool hasProcessInfo() const { return processInfo_.has_value(); }
    const std::optional<OBCrashReportProcessInfo>& processInfo() const { return processInfo_; }
    const OBCrashReportSignalInfo& signalInfo() const { return signalInfo_; }
    const std::optional<OBCrashReportMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
    // Empty when the writer could not list the threads or the images.
    const std::vector<OBCrashReportThreadInfo>& threads() const { return threads_; }
    const std::vector<OBCrashReportBinaryImageInfo>& images() const { return images_; }
    bool hasExceptionInfo() const { return exceptionInfo_.has_value(); }
    const std::optional<OBCrashReportExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
    const std::optional<UUID>& uuidRef() const { return uuidRef_; }
    const std::optional<std::vector<uint8_t>>& customData() const { return customData_; }

    // The first image, in report order, whose range holds `address`; null when none does.
    const OBCrashReportBinaryImageInfo* imageForAddress(uint64_t address) const;

private:
    struct MessageRelease {
        void operator()(Obcrash__CrashReport* message) const;
    };
    class Extractor;

    OBCrashReport() = default;

    std::unique_ptr<Obcrash__CrashReport, MessageRelease> message_;
    OBCrashReportSystemInfo systemInfo_;
    std::optional<OBCrashReportMachineInfo> machineInfo_;
    OBCrashReportApplicationInfo applicationInfo_;
    std::optional<OBCrashReportProcessInfo> processInfo_;
    OBCrashReportSignalInfo signalInfo_;
    std::optional<OBCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<OBCrashReportThreadInfo> threads_;
    std::vector<OBCrashReportBinaryImageInfo> images_;
    std::optional<OBCrashReportExceptionInfo> exceptionInfo_;
    std::optional<UUID> uuidRef_;
    std::optional<std::vector<uint8_t>> customData_;
};

}  // namespace obcrash
