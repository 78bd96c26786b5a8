#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace orbit {

// One frame of an exception's stack.
struct OrbitStackFrame {
    uint64_t instructionAddress = 0;
    std::optional<std::string> module;   // file name of the image that holds the address
    std::optional<std::string> package;  // the image's full path (live frames) or its file name (crashes)
    std::optional<uint64_t> imageAddress;
    bool inApp = false;
    std::optional<std::string> function;
    std::optional<uint64_t> symbolAddress;

    nlohmann::json toDictionary() const;
};

}  // namespace orbit
