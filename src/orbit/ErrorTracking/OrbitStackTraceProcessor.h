#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "orbit/ErrorTracking/Models/OrbitStackFrame.h"
#include "orbit/ErrorTracking/OrbitErrorTrackingConfig.h"

namespace orbit {

// Whether a frame belongs to the application, and the frames of live return addresses.
class OrbitStackTraceProcessor {
public:
    OrbitStackTraceProcessor() = delete;

    // `module` is the image's file name; `package` its full path where the caller knows it.
    static bool isInApp(const std::string& module, const std::optional<std::string>& package,
                        const OrbitErrorTrackingConfig& config);
    static bool isSystemFramework(const std::string& module);
    static bool isSystemPath(const std::optional<std::string>& path);

    // One frame per address the loader can place, in the given order (innermost first). With
    // `stripTopOrbitFrames`, the client's own frames at the top are left out.
    static std::vector<OrbitStackFrame> symbolicateAddresses(std::span<const uintptr_t> addresses,
                                                             const OrbitErrorTrackingConfig& config,
                                                             bool stripTopOrbitFrames);

    // The return addresses of the calling thread, innermost first; the first lies in this function.
    static std::vector<uintptr_t> currentReturnAddresses();

    // A live return address without the bits the architecture adds above its address space.
    static uint64_t liveAddress(uintptr_t address);
};

}  // namespace orbit
