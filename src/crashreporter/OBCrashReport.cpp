#include "crashreporter/OBCrashReport.h"

#include <cstdio>
#include <cstring>

#include "crashreporter/obcrash.pb-c.h"

namespace obcrash {
namespace {

constexpr uint8_t kHeaderMagic[7] = {'o', 'b', 'c', 'r', 'a', 's', 'h'};
constexpr size_t kHeaderSize = 8;
constexpr uint8_t kSupportedVersion = 1;
constexpr size_t kMaxMachExceptionCodes = 255;

constexpr uint64_t kCpuTypeArm64 = 0x0100000C;
constexpr uint64_t kCpuSubtypeArm64e = 2;
// Pointer-authentication bits sit above the low 36 bits of an arm64e return address.
constexpr uint64_t kArm64ePointerMask = 0xFFFFFFFFFULL;

// The first failed check ends the extraction; it never leaves OBCrashReport.
struct ExtractionFailure {
    std::string description;
};

std::string formatted(const char* format, unsigned long value) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::optional<std::string> optionalString(const char* value) {
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

const char* required(const char* value, const char* missing) {
    if (value == nullptr) throw ExtractionFailure{missing};
    return value;
}

OBCrashReportDate secondsSince1970(int64_t seconds) { return OBCrashReportDate(std::chrono::seconds(seconds)); }

}  // namespace

class OBCrashReport::Extractor {
public:
    explicit Extractor(bool stripPointerAuthentication) : stripPointerAuthentication_(stripPointerAuthentication) {}

    static OBCrashReportProcessorInfo processor(const Obcrash__CrashReport__Processor* message) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing processor info section"};
        return {static_cast<OBCrashReportProcessorTypeEncoding>(message->encoding), message->type, message->subtype};
    }

    static OBCrashReportMachineInfo machineInfo(const Obcrash__CrashReport__MachineInfo* message) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing Machine Information section"};
        OBCrashReportMachineInfo info;
        info.modelName = optionalString(message->model);
        if (message->processor != nullptr) info.processorInfo = processor(message->processor);
        info.processorCount = message->processor_count;
        info.logicalProcessorCount = message->logical_processor_count;
        return info;
    }

    static OBCrashReportSystemInfo systemInfo(const Obcrash__CrashReport__SystemInfo* message,
                                              const std::optional<OBCrashReportProcessorInfo>& machineProcessor) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing System Information section"};
        OBCrashReportSystemInfo info;
        info.operatingSystem = static_cast<OBCrashReportOperatingSystem>(message->operating_system);
        info.operatingSystemVersion =
            required(message->os_version, "Crash report is missing System Information OS version field");
        info.operatingSystemBuild = optionalString(message->os_build);
        info.architecture = static_cast<OBCrashReportArchitecture>(message->architecture);
        if (message->timestamp != 0) info.timestamp = secondsSince1970(message->timestamp);
        info.processorInfo = machineProcessor ? *machineProcessor : processorForArchitecture(message->architecture);
        return info;
    }

    // Reports without machine information describe the processor only by the old architecture.
    static OBCrashReportProcessorInfo processorForArchitecture(Obcrash__Architecture architecture) {
        const auto mach = OBCrashReportProcessorTypeEncoding::Mach;
        switch (architecture) {
        case OBCRASH__ARCHITECTURE__X86_32: return {mach, 7, 3};
        case OBCRASH__ARCHITECTURE__X86_64: return {mach, 0x01000007, 3};
        case OBCRASH__ARCHITECTURE__ARMV6: return {mach, 12, 6};
        case OBCRASH__ARCHITECTURE__PPC: return {mach, 18, 0};
        case OBCRASH__ARCHITECTURE__PPC64: return {mach, 0x01000012, 0};
        case OBCRASH__ARCHITECTURE__ARMV7: return {mach, 12, 9};
        default: throw ExtractionFailure{"Crash report has an unknown architecture"};
        }
    }

    static OBCrashReportApplicationInfo applicationInfo(const Obcrash__CrashReport__ApplicationInfo* message) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing Application Information section"};
        return {required(message->identifier, "Crash report is missing Application Information app identifier field"),
                required(message->version, "Crash report is missing Application Information app version field"),
                optionalString(message->marketing_version)};
    }

    static OBCrashReportProcessInfo processInfo(const Obcrash__CrashReport__ProcessInfo* message) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing Process Information section"};
        OBCrashReportProcessInfo info;
        info.processName = optionalString(message->process_name);
        info.processID = message->process_id;
        info.processPath = optionalString(message->process_path);
        if (message->has_start_time)
            info.processStartTime = secondsSince1970(static_cast<int64_t>(message->start_time));
        info.parentProcessName = optionalString(message->parent_process_name);
        info.parentProcessID = message->parent_process_id;
        info.native = message->native;
        return info;
    }

    static OBCrashReportSignalInfo signalInfo(const Obcrash__CrashReport__Signal* message) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing Signal Information section"};
        return {required(message->name, "Crash report is missing signal name field"),
                required(message->code, "Crash report is missing signal code field"), message->address,
                optionalString(message->crash_info_message)};
    }

    static OBCrashReportMachExceptionInfo machException(const Obcrash__CrashReport__Signal__MachException* message) {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing Mach Exception Information section"};
        if (message->n_codes > kMaxMachExceptionCodes)
            throw ExtractionFailure{"Crash report includes too many Mach Exception codes"};
        return {message->type, std::vector<uint64_t>(message->codes, message->codes + message->n_codes)};
    }

    std::vector<OBCrashReportThreadInfo> threads(const Obcrash__CrashReport& report) const {
        std::vector<OBCrashReportThreadInfo> threads;
        threads.reserve(report.n_threads);
        for (size_t i = 0; i < report.n_threads; ++i) {
            const auto* message = report.threads[i];
            OBCrashReportThreadInfo thread;
            thread.threadNumber = message->thread_number;
            thread.crashed = message->crashed;
            thread.stackFrames = stackFrames(message->frames, message->n_frames);
            thread.registers.reserve(message->n_registers);
            for (size_t r = 0; r < message->n_registers; ++r) {
                const auto* value = message->registers[r];
                thread.registers.push_back(
                    {required(value->name, "Missing register name in register value"), value->value});
            }
            threads.push_back(std::move(thread));
        }
        return threads;
    }

    static std::vector<OBCrashReportBinaryImageInfo> images(const Obcrash__CrashReport& report) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::vector<OBCrashReportBinaryImageInfo> images;
        images.reserve(report.n_binary_images);
        for (size_t i = 0; i < report.n_binary_images; ++i) {
            const auto* message = report.binary_images[i];
            OBCrashReportBinaryImageInfo image;
            image.imageName = required(message->name, "Missing image name in image record");
            image.imageBaseAddress = message->base_address;
            image.imageSize = message->size;
            if (message->has_uuid && message->uuid.len > 0) {
                std::string text;
                text.reserve(message->uuid.len * 2);
                for (size_t b = 0; b < message->uuid.len; ++b) {
                    text += kHex[message->uuid.data[b] >> 4];
                    text += kHex[message->uuid.data[b] & 0x0F];
                }
                image.imageUUID = std::move(text);
            }
            if (message->code_type != nullptr) image.codeType = processor(message->code_type);
            images.push_back(std::move(image));
        }
        return images;
    }

    OBCrashReportExceptionInfo exception(const Obcrash__CrashReport__Exception* message) const {
        if (message == nullptr) throw ExtractionFailure{"Crash report is missing Exception Information section"};
        OBCrashReportExceptionInfo info;
        info.exceptionName = required(message->name, "Crash report is missing exception name field");
        info.exceptionReason = required(message->reason, "Crash report is missing exception reason field");
        if (message->n_frames > 0) info.stackFrames = stackFrames(message->frames, message->n_frames);
        return info;
    }

private:
    std::vector<OBCrashReportStackFrameInfo> stackFrames(Obcrash__CrashReport__Thread__StackFrame* const* frames,
                                                         size_t count) const {
        std::vector<OBCrashReportStackFrameInfo> out;
        out.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const auto* frame = frames[i];
            if (frame == nullptr) throw ExtractionFailure{"Crash report is missing stack frame information"};
            OBCrashReportStackFrameInfo info;
            info.instructionPointer = stripPointerAuthentication_ ? frame->pc & kArm64ePointerMask : frame->pc;
            if (frame->symbol != nullptr) {
                const auto* symbol = frame->symbol;
                info.symbolInfo =
                    OBCrashReportSymbolInfo{required(symbol->name, "Crash report is missing symbol information"),
                                            symbol->start_address, symbol->has_end_address ? symbol->end_address : 0};
            }
            out.push_back(std::move(info));
        }
        return out;
    }

    bool stripPointerAuthentication_;
};

void OBCrashReport::MessageRelease::operator()(Obcrash__CrashReport* message) const {
    obcrash__crash_report__free_unpacked(message, nullptr);
}

OBCrashReport::~OBCrashReport() = default;

std::unique_ptr<const OBCrashReport> OBCrashReport::initWithData(std::span<const uint8_t> data,
                                                                 OBCrashReporterError* error) {
    auto fail = [error](std::string description) -> std::unique_ptr<const OBCrashReport> {
        if (error != nullptr)
            *error = {OBCrashReporterError::kDomain,
                      OBCrashReporterError::kCrashReportInvalid,
                      std::move(description),
                      {},
                      0};
        return nullptr;
    };

    if (data.size() <= kHeaderSize) return fail("Could not decode truncated crash log");
    if (std::memcmp(data.data(), kHeaderMagic, sizeof kHeaderMagic) != 0)
        return fail("Could not decode invalid crash log header");
    if (data[7] != kSupportedVersion)
        return fail(formatted("Could not decode unsupported crash report version: %lu", data[7]));

    std::unique_ptr<OBCrashReport> report(new OBCrashReport);
    const size_t bodySize = data.size() - kHeaderSize;
    report->message_.reset(obcrash__crash_report__unpack(nullptr, bodySize, data.data() + kHeaderSize));
    if (!report->message_) return fail(formatted("Could not decode crash report with size of %lu bytes.", bodySize));
    const Obcrash__CrashReport& message = *report->message_;

    try {
        if (message.report_info != nullptr && message.report_info->has_uuid) {
            const auto& uuid = message.report_info->uuid;
            if (uuid.len != std::tuple_size_v<UUID>)
                throw ExtractionFailure{"Report UUID value is not a standard 16 bytes"};
            UUID bytes;
            std::memcpy(bytes.data(), uuid.data, bytes.size());
            report->uuidRef_ = bytes;
        }
        if (message.machine_info != nullptr) report->machineInfo_ = Extractor::machineInfo(message.machine_info);
        const auto machineProcessor =
            report->machineInfo_ ? report->machineInfo_->processorInfo : std::optional<OBCrashReportProcessorInfo>();
        report->systemInfo_ = Extractor::systemInfo(message.system_info, machineProcessor);
        report->applicationInfo_ = Extractor::applicationInfo(message.application_info);
        if (message.process_info != nullptr) report->processInfo_ = Extractor::processInfo(message.process_info);
        report->signalInfo_ = Extractor::signalInfo(message.signal);
        if (message.signal->mach_exception != nullptr)
            report->machExceptionInfo_ = Extractor::machException(message.signal->mach_exception);

        const bool arm64e = machineProcessor && machineProcessor->type == kCpuTypeArm64 &&
                            machineProcessor->subtype == kCpuSubtypeArm64e;
        const Extractor extractor(arm64e);
        report->threads_ = extractor.threads(message);
        report->images_ = Extractor::images(message);
        if (message.exception != nullptr) report->exceptionInfo_ = extractor.exception(message.exception);
        if (message.has_custom_data)
            report->customData_.emplace(message.custom_data.data, message.custom_data.data + message.custom_data.len);
    } catch (const ExtractionFailure& failure) {
        return fail(failure.description);
    }
    return report;
}

const OBCrashReportBinaryImageInfo* OBCrashReport::imageForAddress(uint64_t address) const {
    for (const auto& image : images_) {
        // Written as a difference so that an image reaching the top of the address space matches.
        if (address >= image.imageBaseAddress && address - image.imageBaseAddress < image.imageSize) return &image;
    }
    return nullptr;
}

}  // namespace obcrash
