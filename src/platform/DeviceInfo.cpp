#include "platform/DeviceInfo.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "platform/Uuid.h"

namespace platform {
namespace {

// Mixed into the machine id so that the identifier means nothing outside this application.
constexpr std::string_view kMachineIdentifierSalt = "com.sablix.app/machine-identifier/v1:";

// SHA-256 (FIPS 180-4), enough for hashing a few dozen bytes once per launch.
std::array<uint8_t, 32> sha256(std::string_view message) {
    static constexpr uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };

    std::string data(message);
    const uint64_t bitLength = uint64_t(message.size()) * 8;
    data.push_back(char(0x80));
    while (data.size() % 64 != 56) data.push_back(0);
    for (int i = 7; i >= 0; --i) data.push_back(char(bitLength >> (i * 8)));

    for (size_t block = 0; block < data.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const uint8_t*>(data.data() + block + size_t(i) * 4);
            w[i] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
    std::array<uint8_t, 32> digest{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) digest[size_t(i * 4 + j)] = uint8_t(h[i] >> (24 - j * 8));
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

std::string DeviceInfo::osVersionFromOsRelease(std::string_view text) {
    std::string versionId;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        std::string_view l = trimmed(line);
        if (l.substr(0, 11) != "VERSION_ID=") continue;
        l.remove_prefix(11);
        if (l.size() >= 2 && (l.front() == '"' || l.front() == '\'') && l.back() == l.front())
            l = l.substr(1, l.size() - 2);
        versionId = std::string(l);
    }
    // Up to three leading numeric components; what is missing or not a number counts as 0.
    int64_t parts[3] = {0, 0, 0};
    size_t at = 0;
    for (int part = 0; part < 3 && at < versionId.size(); ++part) {
        int64_t value = 0;
        bool any = false;
        while (at < versionId.size() && versionId[at] >= '0' && versionId[at] <= '9' && value < 100000000) {
            value = value * 10 + (versionId[at++] - '0');
            any = true;
        }
        if (!any) break;
        parts[part] = value;
        if (at >= versionId.size() || versionId[at] != '.') break;
        ++at;
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

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
