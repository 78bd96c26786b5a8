#include "orbit/ErrorTracking/OrbitStackTraceProcessor.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "orbit/ErrorTracking/OrbitDebugImageProvider.h"

namespace orbit {
namespace {

constexpr std::string_view kSystemFrameworks[] = {
    "Foundation", "UIKit", "AppKit", "CoreFoundation", "CoreGraphics", "CoreData", "CoreLocation", "CoreMotion",
    "CoreServices", "CoreText", "AVFoundation", "Metal", "MetalKit", "SwiftUI", "SwiftUICore", "Combine", "QuartzCore",
    "Security", "SystemConfiguration", "CFNetwork", "WebKit", "GraphicsServices", "IOKit", "Gestures", "UIKitCore",
    "UIKitMacHelper", "Accessibility", "AccessibilityUtilities", "UpdateCycle", "TextInput", "UIFoundation",
    "BackBoardServices", "FrontBoardServices", "SpringBoardServices", "RunningBoardServices", "libsystem_kernel.dylib",
    "libsystem_pthread.dylib", "libsystem_c.dylib", "libsystem_malloc.dylib", "libdispatch.dylib", "libswift",
    "libobjc", "dyld",
    // The C and C++ runtimes, the loader, the kernel's shared object and Qt on Linux.
    "libc.so", "libm.so", "libstdc++", "libgcc_s", "ld-linux", "libpthread", "libdl", "librt", "linux-vdso", "libQt6"};

constexpr std::string_view kSystemPathPrefixes[] = {"/System/", "/usr/lib/", "/lib/", "/lib64/", "/usr/lib64/"};
constexpr std::string_view kSystemPathParts[] = {"/System/Library/", "/usr/lib/"};

constexpr int kMaxFrames = 256;

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The client's own frames: those of its shared object when it is one, else those of functions in
// its namespace (which the program exports when it links with -rdynamic).
class ClientFrames {
public:
    ClientFrames() {
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(&OrbitStackTraceProcessor::liveAddress), &info) != 0)
            sharedBase_ = info.dli_fbase != mainProgramBase() ? info.dli_fbase : nullptr;
    }

    bool contains(const Dl_info& info) const {
        if (sharedBase_ != nullptr) return info.dli_fbase == sharedBase_;
        if (info.dli_sname == nullptr) return false;
        int status = 0;
        const std::unique_ptr<char, decltype(&std::free)> name(
            abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
        return status == 0 && name && startsWith(name.get(), "orbit::");
    }

private:
    static const void* mainProgramBase() {
        const auto base = OrbitDebugImageProvider::mainProgramAddress();
        return base ? reinterpret_cast<const void*>(*base) : nullptr;
    }

    const void* sharedBase_ = nullptr;
};

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool OrbitStackTraceProcessor::isInApp(const std::string& module, const std::optional<std::string>& package,
                                       const OrbitErrorTrackingConfig& config) {
    for (const auto& include : config.inAppIncludes())
        if (startsWith(module, include)) return true;
    for (const auto& exclude : config.inAppExcludes())
        if (startsWith(module, exclude)) return false;
    if (isSystemFramework(module) || isSystemPath(package)) return false;
    return config.inAppByDefault;
}

bool OrbitStackTraceProcessor::isSystemFramework(const std::string& module) {
    for (const auto name : kSystemFrameworks)
        if (startsWith(module, name)) return true;
    return false;
}

bool OrbitStackTraceProcessor::isSystemPath(const std::optional<std::string>& path) {
    if (!path) return false;
    for (const auto prefix : kSystemPathPrefixes)
        if (startsWith(*path, prefix)) return true;
    for (const auto part : kSystemPathParts)
        if (path->find(part) != std::string::npos) return true;
    return false;
}

__attribute__((noinline)) std::vector<uintptr_t> OrbitStackTraceProcessor::currentReturnAddresses() {
    static const void* const ownImage = [] {
        Dl_info info{};
        return dladdr(reinterpret_cast<const void*>(&currentReturnAddresses), &info) != 0 ? info.dli_fbase : nullptr;
    }();
    void* addresses[kMaxFrames];
    const int count = backtrace(addresses, kMaxFrames);
    // A tracer's interceptor of backtrace (a sanitizer's) may come first; this function's frame
    // is the first in the client's own image.
    int first = 0;
    while (first < count) {
        Dl_info info{};
        if (dladdr(addresses[first], &info) != 0 && info.dli_fbase == ownImage) break;
        ++first;
    }
    if (first == count) first = 0;
    std::vector<uintptr_t> result;
    for (int i = first; i < count; ++i) result.push_back(reinterpret_cast<uintptr_t>(addresses[i]));
    return result;
}

uint64_t OrbitStackTraceProcessor::liveAddress(uintptr_t address) {
#if defined(__aarch64__)
    // Pointer authentication and tags use the bits above the 48-bit address space.
    return static_cast<uint64_t>(address) & 0x0000FFFFFFFFFFFFULL;
#else
    return static_cast<uint64_t>(address);
#endif
}

std::vector<OrbitStackFrame> OrbitStackTraceProcessor::symbolicateAddresses(std::span<const uintptr_t> addresses,
                                                                            const OrbitErrorTrackingConfig& config,
                                                                            bool stripTopOrbitFrames) {
    static const ClientFrames clientFrames;
    const auto mainProgram = OrbitDebugImageProvider::mainProgramAddress();
    std::vector<OrbitStackFrame> frames;
    bool stripping = stripTopOrbitFrames;
    for (const uintptr_t raw : addresses) {
        const uint64_t address = liveAddress(raw);
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &info) == 0) continue;
        if (stripping && clientFrames.contains(info)) continue;
        stripping = false;

        OrbitStackFrame frame;
        frame.instructionAddress = address;
        if (info.dli_fname != nullptr) {
            const auto base = reinterpret_cast<uintptr_t>(info.dli_fbase);
            // The loader names the main program by its argv[0]; its real path is more use.
            std::string path = mainProgram && base == *mainProgram ? OrbitDebugImageProvider::mainProgramPath()
                                                                   : std::string(info.dli_fname);
            frame.module = lastPathComponent(path);
            frame.package = std::move(path);
            frame.imageAddress = base;
            frame.inApp = isInApp(*frame.module, frame.package, config);
        }
        if (info.dli_sname != nullptr) {
            frame.function = info.dli_sname;
            frame.symbolAddress = reinterpret_cast<uintptr_t>(info.dli_saddr);
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

}  // namespace orbit
