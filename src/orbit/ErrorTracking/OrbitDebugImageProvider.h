#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbit/ErrorTracking/Models/OrbitBinaryImageInfo.h"

namespace orbit {

// The loaded images that the frames of an exception point into.
class OrbitDebugImageProvider {
public:
    OrbitDebugImageProvider() = delete;

    // The "$debug_images" of a finished "$exception_list".
    static nlohmann::json getDebugImages(const nlohmann::json& exceptions);
    // The same for a flat list of frame dictionaries.
    static nlohmann::json getDebugImagesForFrames(const nlohmann::json& frames);
    // The loaded images whose load address is one of `addresses` (hexadecimal, "0x" optional), in
    // the loader's order.
    static std::vector<OrbitBinaryImageInfo> getImages(const std::set<std::string>& addresses);

    // The image of an ELF object mapped by the loader: `base` is the loader's load bias,
    // `programHeaders` the object's program headers in memory.
    static OrbitBinaryImageInfo imageInfoFromProgramHeaders(std::string name, uintptr_t base,
                                                            const void* programHeaders, size_t count);

    // The image of a Mach-O file whose header and load commands are `header`, loaded `slide`
    // bytes from its link-time address; none when the bytes are too short for a header.
    static std::optional<OrbitBinaryImageInfo> parseImageInfo(std::span<const uint8_t> header, uint64_t slide,
                                                              std::string name);
    // The address and size of a "__TEXT" segment command; none for another segment.
    static std::optional<std::pair<uint64_t, uint64_t>> extractTextSegment(std::span<const uint8_t> command,
                                                                           bool is64Bit);
    // The UUID of an LC_UUID command.
    static std::optional<std::string> extractUUID(std::span<const uint8_t> command);

    // Where the main program is loaded, and its real path.
    static std::optional<uintptr_t> mainProgramAddress();
    static const std::string& mainProgramPath();

    // A frame's or image's address text as a number; none for text that is not one.
    static std::optional<uint64_t> parseAddress(const std::string& text);
};

}  // namespace orbit
