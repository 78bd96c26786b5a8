#include "posix/FilePages.h"

#include <sys/mman.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

namespace posix {
namespace {

std::string_view nextField(std::string_view& line) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const size_t end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return field;
}

template <typename Number>
bool parse(std::string_view text, Number& value, int base = 10) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "7f12a000-7f12b000 r-xp 00000000 08:01 1234    /usr/lib/libfoo.so"; the path may hold spaces.
bool parseHeader(std::string_view line, Mapping& mapping) {
    const std::string_view range = nextField(line);
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos || !parse(range.substr(0, dash), mapping.start, 16) ||
        !parse(range.substr(dash + 1), mapping.end, 16) || mapping.end < mapping.start)
        return false;
    mapping.permissions = std::string(nextField(line));
    if (mapping.permissions.size() != 4) return false;
    for (int skipped = 0; skipped < 3; ++skipped)  // offset, device, inode
        if (nextField(line).empty()) return false;
    const size_t path = line.find_first_not_of(' ');
    if (path != std::string_view::npos) mapping.path = std::string(line.substr(path));
    return true;
}

// "Anonymous:        12 kB"
void parseField(std::string_view line, Mapping& mapping) {
    const size_t colon = line.find(':');
    const std::string_view key = line.substr(0, colon);
    size_t* target = key == "Rss"         ? &mapping.residentKiB
                     : key == "Anonymous" ? &mapping.anonymousKiB
                     : key == "Locked"    ? &mapping.lockedKiB
                                          : nullptr;
    if (!target) return;
    line.remove_prefix(colon + 1);
    parse(nextField(line), *target);
}

}  // namespace

std::vector<Mapping> mappingsFromSmaps(std::string_view smaps) {
    std::vector<Mapping> mappings;
    bool inMapping = false;
    while (!smaps.empty()) {
        const size_t newline = smaps.find('\n');
        const std::string_view line = smaps.substr(0, newline);
        smaps.remove_prefix(newline == std::string_view::npos ? smaps.size() : newline + 1);
        const size_t colon = line.find(':');
        const size_t space = line.find(' ');
        // A field's key ends with ':' before any space; a header's first space comes first.
        if (colon != std::string_view::npos && colon < space) {
            if (inMapping) parseField(line, mappings.back());
            continue;
        }
        Mapping mapping;
        inMapping = parseHeader(line, mapping);
        if (inMapping) mappings.push_back(std::move(mapping));
    }
    return mappings;
}

bool holdsOnlyFileBytes(const Mapping& mapping) {
    const std::string_view path = mapping.path;
    // Devices may not be pages of a file at all; memfd and deleted files ("… (deleted)") are not
    // files anyone else can map in again.
    if (path.empty() || path.front() != '/' || path.starts_with("/dev/") || path.starts_with("/memfd:") ||
        path.ends_with(" (deleted)"))
        return false;
    return mapping.permissions.find('w') == std::string::npos && mapping.anonymousKiB == 0 && mapping.lockedKiB == 0;
}

Result releaseFilePages() {
    std::ifstream file("/proc/self/smaps");
    if (!file) return {errno ? errno : ENOENT};
    std::ostringstream text;
    text << file.rdbuf();
    for (const Mapping& mapping : mappingsFromSmaps(text.str()))
        if (holdsOnlyFileBytes(mapping))
            // Refused for mappings of special kinds (EINVAL); those keep their pages.
            ::madvise(reinterpret_cast<void*>(mapping.start), mapping.end - mapping.start, MADV_DONTNEED);
    return {};
}

}  // namespace posix
