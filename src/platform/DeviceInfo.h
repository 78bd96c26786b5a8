#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// What the application tells about the machine it runs on and about itself.
struct DeviceInfo {
    std::optional<std::string> appVersion;  // the application's short version, "1.0.0"
    std::optional<std::string> appBuild;    // the build number
    std::string osVersion;                  // major.minor.patch, "12.0.0"
    // A stable identifier of this machine for this application, as upper-case UUID text;
    // derived from the system's machine id, which itself never leaves the machine.
    std::optional<std::string> machineIdentifier;

    // This machine, read from the system's files; the application passes its own version.
    static DeviceInfo current(std::optional<std::string> appVersion, std::optional<std::string> appBuild,
                              const std::filesystem::path& osRelease = "/etc/os-release",
                              const std::filesystem::path& machineId = "/etc/machine-id");

    // "12" → "12.0.0", "22.04" → "22.4.0"; from the VERSION_ID of an os-release file.
    static std::string osVersionFromOsRelease(std::string_view osReleaseText);
    // The application-specific identifier for a machine id; none for an empty or malformed id.
    static std::optional<std::string> machineIdentifierFor(std::string_view machineId);
};

}  // namespace platform
