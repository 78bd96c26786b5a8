#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace orbit {

enum class OrbitImageFormat { elf, macho };

// One binary image that frames of an exception point into.
struct OrbitBinaryImageInfo {
    std::string name;                   // the path as the loader or the crash report names it
    std::optional<std::string> uuid;    // upper-case 8-4-4-4-12
    std::optional<uint64_t> vmAddress;  // link-time address; 0 for a position-independent file
    uint64_t address = 0;               // load address in the process
    uint64_t size = 0;
    std::optional<std::string> arch;
    OrbitImageFormat format = OrbitImageFormat::elf;

    nlohmann::json toDictionary() const;
};

}  // namespace orbit
