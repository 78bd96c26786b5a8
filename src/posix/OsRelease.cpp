#include "posix/OsRelease.h"

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>

namespace posix {
namespace {

std::optional<std::string> readFile(const char* path) {
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

std::string osVersionFromOsRelease(std::string_view text) {
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

std::string osVersionString() {
    auto release = readFile("/etc/os-release");
    if (!release) release = readFile("/usr/lib/os-release");
    return osVersionFromOsRelease(release.value_or(std::string()));
}

}  // namespace posix
