#include "platform/DeviceInfo.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>

#include <nettle/sha2.h>

#include "platform/Uuid.h"
#include "posix/OsRelease.h"

namespace platform {
namespace {

// Mixed into the machine id so that the identifier means nothing outside this application.
constexpr std::string_view kMachineIdentifierSalt = "com.sablix.app/machine-identifier/v1:";

std::array<uint8_t, SHA256_DIGEST_SIZE> sha256(std::string_view message) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, message.size(), reinterpret_cast<const uint8_t*>(message.data()));
    std::array<uint8_t, SHA256_DIGEST_SIZE> digest{};
    sha256_digest(&context, digest.size(), digest.data());
    return digest;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::string DeviceInfo::osVersionFromOsRelease(std::string_view text) { return posix::osVersionFromOsRelease(text); }

std::optional<std::string> DeviceInfo::machineIdentifierFor(std::string_view machineId) {
    const std::string_view id = trimmed(machineId);
    // A machine id is 32 hexadecimal digits; anything else (an empty file, "uninitialized")
    // would give every such machine the same identifier.
    if (id.size() != 32) return std::nullopt;
    for (char c : id)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    std::string lower(id);
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    const auto digest = sha256(std::string(kMachineIdentifierSalt) + lower);
    Uuid::Bytes bytes{};
    std::copy_n(digest.begin(), bytes.size(), bytes.begin());
    // Marked as a name-based (version 5 layout, RFC 4122 variant) identifier.
    bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x50);
    bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
    return Uuid(bytes).toString();
}

DeviceInfo DeviceInfo::current(std::optional<std::string> appVersion, std::optional<std::string> appBuild,
                               const std::filesystem::path& osRelease, const std::filesystem::path& machineId) {
    DeviceInfo info;
    info.appVersion = std::move(appVersion);
    info.appBuild = std::move(appBuild);
    auto release = readFile(osRelease);
    if (!release && osRelease == "/etc/os-release") release = readFile("/usr/lib/os-release");
    info.osVersion = osVersionFromOsRelease(release.value_or(std::string()));
    auto id = readFile(machineId);
    if (!id && machineId == "/etc/machine-id") id = readFile("/var/lib/dbus/machine-id");
    if (id) info.machineIdentifier = machineIdentifierFor(*id);
    return info;
}

}  // namespace platform
