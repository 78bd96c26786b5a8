#include "orbit/ErrorTracking/OrbitCrashReportProcessor.h"

#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "orbit/ErrorTracking/Models/OrbitBinaryImageInfo.h"
#include "orbit/ErrorTracking/Models/OrbitStackFrame.h"
#include "orbit/ErrorTracking/OrbitStackTraceProcessor.h"
#include "orbit/ErrorTracking/Utils/OrbitErrorTrackingText.h"

namespace orbit {
namespace {

using namespace obcrash;

// The regular-expression engine recurses once per character; a fatal-error message is one short
// line, so longer text is not matched at all rather than risking the stack.
constexpr size_t kMaxFatalErrorMessageLength = 2048;

const std::optional<std::regex>& fatalErrorRegex() {
    static const std::optional<std::regex> regex = []() -> std::optional<std::regex> {
        try {
            return std::regex(R"(^(Assertion failed|Fatal error|Precondition failed): ((.+): )?file .+, line \d+$)",
                              std::regex::ECMAScript | std::regex::icase);
        } catch (const std::regex_error&) {
            return std::nullopt;
        }
    }();
    return regex;
}

const std::optional<std::regex>& sourceLocationFatalErrorRegex() {
    static const std::optional<std::regex> regex = []() -> std::optional<std::regex> {
        try {
            return std::regex(R"(^.+\.swift:\d+: (Assertion failed|Fatal error|Precondition failed): .+$)",
                              std::regex::ECMAScript | std::regex::icase);
        } catch (const std::regex_error&) {
            return std::nullopt;
        }
    }();
    return regex;
}

std::optional<std::string> nonEmpty(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const OBCrashReportThreadInfo* findCrashedThread(const OBCrashReport& report) {
    for (const auto& thread : report.threads())
        if (thread.crashed) return &thread;
    return report.threads().empty() ? nullptr : &report.threads().front();
}

std::vector<OrbitStackFrame> buildStackFrames(const OBCrashReport& report, const OrbitErrorTrackingConfig& config) {
    const std::vector<OBCrashReportStackFrameInfo>* source = nullptr;
    const auto& exception = report.exceptionInfo();
    if (report.hasExceptionInfo() && exception->stackFrames && !exception->stackFrames->empty())
        source = &*exception->stackFrames;
    else if (const auto* thread = findCrashedThread(report))
        source = &thread->stackFrames;
    std::vector<OrbitStackFrame> frames;
    if (source == nullptr) return frames;
    for (const auto& sourceFrame : *source) {
        OrbitStackFrame frame;
        // The reader has already removed what the architecture adds to an address.
        frame.instructionAddress = sourceFrame.instructionPointer;
        if (const auto* image = report.imageForAddress(sourceFrame.instructionPointer)) {
            frame.imageAddress = image->imageBaseAddress;
            if (!image->imageName.empty()) frame.module = lastPathComponent(image->imageName);
        }
        frame.package = frame.module;
        if (sourceFrame.symbolInfo) {
            frame.function = nonEmpty(sourceFrame.symbolInfo->symbolName);
            frame.symbolAddress = sourceFrame.symbolInfo->startAddress;
        }
        frame.inApp = frame.module && OrbitStackTraceProcessor::isInApp(*frame.module, std::nullopt, config);
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::optional<std::string> crashInfoMessage(const OBCrashReport& report) {
    const auto& message = report.signalInfo().crashInfoMessage;
    if (!message) return std::nullopt;
    constexpr const char* blanks = " \t\n\r\v\f";
    const auto first = message->find_first_not_of(blanks);
    if (first == std::string::npos) return std::nullopt;
    return message->substr(first, message->find_last_not_of(blanks) - first + 1);
}

std::optional<std::string> parseSwiftFatalErrorType(const std::string& message) {
    if (message.size() > kMaxFatalErrorMessageLength) return std::nullopt;
    for (const auto* regex : {&fatalErrorRegex(), &sourceLocationFatalErrorRegex()}) {
        if (!*regex) continue;
        std::smatch match;
        if (std::regex_search(message, match, **regex) && match.size() >= 2 && match[1].matched) return match[1].str();
    }
    return std::nullopt;
}

std::optional<std::string> signalMessage(const OBCrashReportSignalInfo& signal) {
    if (signal.name.empty() || signal.code.empty()) return std::nullopt;
    return signal.name + " (code " + signal.code + ") at address " + formattedAddress(signal.address);
}

std::optional<nlohmann::json> buildExceptionInfo(const OBCrashReport& report,
                                                 const std::vector<OrbitStackFrame>& frames) {
    nlohmann::json info = nlohmann::json::object();
    if (report.hasExceptionInfo()) {
        const auto& exception = *report.exceptionInfo();
        if (!exception.exceptionName.empty()) info["type"] = validUtf8(exception.exceptionName);
        if (!exception.exceptionReason.empty()) info["value"] = validUtf8(exception.exceptionReason);
        info["mechanism"] = {{"type", "nsexception"}, {"handled", false}, {"synthetic", false}};
    } else {
        // Every report the reader accepts has its signal section.
        const auto& signal = report.signalInfo();
        const auto message = crashInfoMessage(report);
        const auto kind = message ? parseSwiftFatalErrorType(*message) : std::nullopt;
        if (kind) {
            info["type"] = validUtf8(*kind);
            info["value"] = validUtf8(*message);
        } else {
            if (!signal.name.empty()) info["type"] = validUtf8(signal.name);
            if (const auto text = signalMessage(signal)) info["value"] = validUtf8(*text);
        }
        nlohmann::json details = nlohmann::json::object();
        if (!signal.code.empty()) details["code"] = validUtf8(signal.code);
        if (!signal.name.empty()) details["name"] = validUtf8(signal.name);
        if (message) details["crash_info_message"] = validUtf8(*message);
        info["mechanism"] = {
            {"type", "signal"}, {"handled", false}, {"synthetic", false}, {"meta", {{"signal", details}}}};
    }
    if (!frames.empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) list.push_back(frame->toDictionary());
        info["stacktrace"] = {{"frames", std::move(list)}, {"type", "raw"}};
    }
    if (const auto* thread = findCrashedThread(report)) info["thread_id"] = thread->threadNumber;
    return info;
}

nlohmann::json buildDebugImages(const OBCrashReport& report, const std::vector<OrbitStackFrame>& frames) {
    nlohmann::json images = nlohmann::json::array();
    std::set<uint64_t> addresses;
    for (const auto& frame : frames)
        if (frame.imageAddress) addresses.insert(*frame.imageAddress);
    if (addresses.empty()) return images;
    for (const auto& reportImage : report.images()) {
        if (!addresses.contains(reportImage.imageBaseAddress) || reportImage.imageName.empty()) continue;
        OrbitBinaryImageInfo image;
        image.name = reportImage.imageName;
        if (reportImage.imageUUID) image.uuid = formattedAsUUID(*reportImage.imageUUID);
        image.address = reportImage.imageBaseAddress;
        image.size = reportImage.imageSize;
        if (reportImage.codeType)
            image.arch = architectureName(reportImage.codeType->type, reportImage.codeType->subtype);
        images.push_back(image.toDictionary());
    }
    return images;
}

}  // namespace

nlohmann::json OrbitCrashReportProcessor::processReport(const OBCrashReport& report,
                                                        const OrbitErrorTrackingConfig& config) {
    nlohmann::json properties = {{"$exception_level", "fatal"}};
    const auto frames = buildStackFrames(report, config);
    if (auto info = buildExceptionInfo(report, frames)) properties["$exception_list"] = nlohmann::json::array({*info});
    if (auto images = buildDebugImages(report, frames); !images.empty())
        properties["$debug_images"] = std::move(images);
    return properties;
}

}  // namespace orbit
