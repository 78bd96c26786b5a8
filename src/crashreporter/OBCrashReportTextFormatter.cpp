#include "crashreporter/OBCrashReportTextFormatter.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

#include "crashreporter/OBCrashLog.h"

namespace obcrash {
namespace {

constexpr const char* kMissing = "???";

constexpr uint64_t kCpuTypeX86 = 7;
constexpr uint64_t kCpuTypeX86_64 = 0x01000007;
constexpr uint64_t kCpuTypeArm = 12;
constexpr uint64_t kCpuTypeArm64 = 0x0100000C;
constexpr uint64_t kCpuTypePowerPC = 18;
constexpr uint64_t kCpuSubtypeMask = 0x00FFFFFF;

std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}

const char* orMissing(const std::optional<std::string>& value) { return value ? value->c_str() : kMissing; }

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Left-aligned in `width` characters, counting characters rather than UTF-8 bytes.
std::string padRight(const std::string& text, size_t width) {
    const size_t characters =
        static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    return characters >= width ? text : text + std::string(width - characters, ' ');
}

bool knownOperatingSystem(OBCrashReportOperatingSystem os) {
    return os == OBCrashReportOperatingSystem::MacOSX || os == OBCrashReportOperatingSystem::iPhoneOS ||
           os == OBCrashReportOperatingSystem::iPhoneSimulator || os == OBCrashReportOperatingSystem::AppleTVOS;
}

std::string operatingSystemName(OBCrashReportOperatingSystem os) {
    switch (os) {
    case OBCrashReportOperatingSystem::MacOSX:
    case OBCrashReportOperatingSystem::iPhoneSimulator: return "Mac OS X";
    case OBCrashReportOperatingSystem::iPhoneOS: return "iPhone OS";
    case OBCrashReportOperatingSystem::AppleTVOS: return "Apple tvOS";
    default: return format("Unknown (%d)", static_cast<int>(os));
    }
}

struct CodeType {
    std::string name;
    bool lp64 = true;
};

std::optional<CodeType> knownCodeType(uint64_t type) {
    switch (type) {
    case kCpuTypeX86: return CodeType{"X86", false};
    case kCpuTypeX86_64: return CodeType{"X86-64", true};
    case kCpuTypeArm: return CodeType{"ARM", false};
    case kCpuTypePowerPC: return CodeType{"PPC", false};
    case kCpuTypeArm64: return CodeType{"ARM-64", true};
    default: return std::nullopt;
    }
}

// The images say what the code was; the system information only when none does.
CodeType codeTypeOf(const OBCrashReport& report) {
    for (const auto& image : report.images()) {
        if (!image.codeType || image.codeType->typeEncoding != OBCrashReportProcessorTypeEncoding::Mach) continue;
        if (auto known = knownCodeType(image.codeType->type)) return *known;
    }
    const auto& processor = report.systemInfo().processorInfo;
    if (processor.typeEncoding != OBCrashReportProcessorTypeEncoding::Mach) return {"Unknown", true};
    if (auto known = knownCodeType(processor.type)) return *known;
    return {format("Unknown (%llu)", static_cast<unsigned long long>(processor.type)), true};
}

std::string architectureName(const std::optional<OBCrashReportProcessorInfo>& codeType) {
    if (!codeType || codeType->typeEncoding != OBCrashReportProcessorTypeEncoding::Mach) return kMissing;
    const uint64_t subtype = codeType->subtype & kCpuSubtypeMask;
    switch (codeType->type) {
    case kCpuTypeX86: return "i386";
    case kCpuTypeX86_64: return "x86_64";
    case kCpuTypePowerPC: return "powerpc";
    case kCpuTypeArm:
        if (subtype == 6) return "armv6";
        if (subtype == 9) return "armv7";
        if (subtype == 11) return "armv7s";
        return "arm-unknown";
    case kCpuTypeArm64:
        if (subtype == 0) return "arm64";
        if (subtype == 1) return "armv8";
        if (subtype == 2) return "arm64e";
        return "arm64-unknown";
    default: return kMissing;
    }
}

std::string dateText(const std::optional<OBCrashReportDate>& date) {
    if (!date) return kMissing;
    const time_t seconds = static_cast<time_t>(date->time_since_epoch().count());
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr) return kMissing;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900LL, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buffer;
}

// Upper-case 8-4-4-4-12.
std::string uuidText(const OBCrashReport::UUID& uuid) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(digits[uuid[i] >> 4]);
        out.push_back(digits[uuid[i] & 0x0F]);
    }
    return out;
}

}  // namespace

std::string OBCrashReportTextFormatter::stringValueForCrashReport(const OBCrashReport& report,
                                                                  OBCrashReportTextFormat) {
    const CodeType codeType = codeTypeOf(report);
    const auto& system = report.systemInfo();
    const auto& application = report.applicationInfo();
    const auto& process = report.processInfo();
    std::string text;

    text += format("Incident Identifier: %s\n",
                   report.uuidRef() ? uuidText(*report.uuidRef()).c_str() : kMissing);
    text += format("Hardware Model:      %s\n",
                   report.machineInfo() ? orMissing(report.machineInfo()->modelName) : kMissing);
    if (process) {
        text += format("Process:         %s [%u]\n", orMissing(process->processName), process->processID);
        text += format("Path:            %s\n", orMissing(process->processPath));
    } else {
        text += format("Process:         %s [%s]\n", kMissing, kMissing);
        text += format("Path:            %s\n", kMissing);
    }
    text += format("Identifier:      %s\n", application.applicationIdentifier.c_str());
    if (application.applicationMarketingVersion)
        text += format("Version:         %s (%s)\n", application.applicationMarketingVersion->c_str(),
                       application.applicationVersion.c_str());
    else
        text += format("Version:         %s\n", application.applicationVersion.c_str());
    text += format("Code Type:       %s\n", codeType.name.c_str());
    if (process)
        text += format("Parent Process:  %s [%u]\n", orMissing(process->parentProcessName), process->parentProcessID);
    else
        text += format("Parent Process:  %s [%s]\n", kMissing, kMissing);
    text += "\n";
    text += format("Date/Time:       %s\n", dateText(system.timestamp).c_str());
    text += format("OS Version:      %s %s (%s)\n", operatingSystemName(system.operatingSystem).c_str(),
                   system.operatingSystemVersion.c_str(), orMissing(system.operatingSystemBuild));
    text += "Report Version:  104\n";
    text += "\n";
    text += format("Exception Type:  %s\n", report.signalInfo().name.c_str());
    text += format("Exception Codes: %s at 0x%llx\n", report.signalInfo().code.c_str(),
                   static_cast<unsigned long long>(report.signalInfo().address));
    const auto& threads = report.threads();
    const auto firstCrashed = std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; });
    if (firstCrashed != threads.end())
        text += format("Crashed Thread:  %lld\n", static_cast<long long>(firstCrashed->threadNumber));
    text += "\n";

    if (const auto& exception = report.exceptionInfo()) {
        text += "Application Specific Information:\n";
        text += format("*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
                       exception->exceptionName.c_str(), exception->exceptionReason.c_str());
        text += "\n";
        if (exception->stackFrames && !exception->stackFrames->empty()) {
            text += "Last Exception Backtrace:\n";
            long index = 0;
            for (const auto& frame : *exception->stackFrames)
                text += formatStackFrame(frame, index++, report, codeType.lp64);
            text += "\n";
        }
    }

    const OBCrashReportThreadInfo* lastCrashed = nullptr;
    for (const auto& thread : threads) {
        const auto number = static_cast<long long>(thread.threadNumber);
        text += thread.crashed ? format("Thread %lld Crashed:\n", number) : format("Thread %lld:\n", number);
        long index = 0;
        for (const auto& frame : thread.stackFrames) text += formatStackFrame(frame, index++, report, codeType.lp64);
        text += "\n";
        if (thread.crashed) lastCrashed = &thread;
    }

    if (lastCrashed != nullptr) {
        text += format("Thread %lld crashed with %s Thread State:\n", static_cast<long long>(lastCrashed->threadNumber),
                       codeType.name.c_str());
        const auto& machine = report.machineInfo();
        const bool arm32 = machine && machine->processorInfo &&
                           machine->processorInfo->typeEncoding == OBCrashReportProcessorTypeEncoding::Mach &&
                           (machine->processorInfo->type & kCpuSubtypeMask) == kCpuTypeArm;
        size_t column = 0;
        for (const auto& reg : lastCrashed->registers) {
            const char* name = arm32 && reg.registerName == "r12" ? "ip" : reg.registerName.c_str();
            const auto value = static_cast<unsigned long long>(reg.registerValue);
            text += codeType.lp64 ? format("%6s: 0x%016llx ", name, value) : format("%6s: 0x%08llx ", name, value);
            if (++column % 4 == 0) text += "\n";
        }
        if (column % 4 != 0) text += "\n";
        text += "\n";
    }

    text += "Binary Images:\n";
    std::vector<const OBCrashReportBinaryImageInfo*> sorted;
    for (const auto& image : report.images()) sorted.push_back(&image);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto* a, const auto* b) { return binaryImageSort(*a, *b) < 0; });
    const OBCrashReportBinaryImageInfo* previous = nullptr;
    for (const auto* image : sorted) {
        if (previous != nullptr && previous->imageBaseAddress == image->imageBaseAddress) continue;
        previous = image;
        const auto base = static_cast<unsigned long long>(image->imageBaseAddress);
        const auto end = image->imageSize > 1 ? base + image->imageSize - 1 : base;
        const bool main = process && process->processPath && *process->processPath == image->imageName;
        const std::string name = lastPathComponent(image->imageName);
        const std::string architecture = architectureName(image->codeType);
        text += codeType.lp64 ? format("%#18llx - %#18llx ", base, end) : format("%#10llx - %#10llx ", base, end);
        text += format("%s%s %s  <%s> %s\n", main ? "+" : " ", name.c_str(), architecture.c_str(),
                       orMissing(image->imageUUID), image->imageName.c_str());
    }
    return text;
}

std::string OBCrashReportTextFormatter::formatStackFrame(const OBCrashReportStackFrameInfo& frame, long frameIndex,
                                                         const OBCrashReport& report, bool lp64) {
    const uint64_t ip = frame.instructionPointer;
    std::string imageName = kMissing;
    uint64_t base = 0;
    uint64_t offset = 0;
    if (const auto* image = report.imageForAddress(ip)) {
        imageName = lastPathComponent(image->imageName);
        base = image->imageBaseAddress;
        offset = ip - base;
    } else if (ip != 0) {
        obcrashLog("Cannot find image for 0x%llx", static_cast<unsigned long long>(ip));
    }

    std::string symbolText;
    if (const auto& symbol = frame.symbolInfo) {
        std::string name = symbol->symbolName;
        if (name.size() >= 2 && name[0] == '_') {
            if (knownOperatingSystem(report.systemInfo().operatingSystem))
                name.erase(0, 1);
            else
                obcrashLog("Symbol \"%s\" prefix rules are unknown for this OS!", name.c_str());
        }
        symbolText = format("%s + %lld", name.c_str(), static_cast<long long>(ip - symbol->startAddress));
    } else {
        symbolText = format("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(offset));
    }
    return format("%-4ld%s 0x%0*llx %s\n", frameIndex, padRight(imageName, 35).c_str(), lp64 ? 16 : 8,
                  static_cast<unsigned long long>(ip), symbolText.c_str());
}

std::vector<uint8_t> OBCrashReportTextFormatter::formatReport(const OBCrashReport& report,
                                                              OBCrashReporterError*) const {
    const std::string text = stringValueForCrashReport(report, textFormat_);
    if (stringEncoding_ == OBCrashReportStringEncoding::UTF8) return {text.begin(), text.end()};
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80)
            bytes.push_back(byte);
        else if ((byte & 0xC0) != 0x80)
            bytes.push_back('?');  // one per character: continuation bytes are dropped
    }
    return bytes;
}

int OBCrashReportTextFormatter::binaryImageSort(const OBCrashReportBinaryImageInfo& a,
                                                const OBCrashReportBinaryImageInfo& b) {
    if (a.imageBaseAddress < b.imageBaseAddress) return -1;
    if (a.imageBaseAddress > b.imageBaseAddress) return 1;
    return 0;
}

}  // namespace obcrash
