#include "posix/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "posix/FileWriting.h"

namespace posix {
namespace {

constexpr std::string_view kTemporaryMarker = ".tmp-";

// A name of its own for each write: two threads may write the same file at once.
std::filesystem::path temporaryFor(const std::filesystem::path& path) {
    static std::atomic<uint64_t> writes{0};
    std::filesystem::path temporary = path;
    temporary += std::string(kTemporaryMarker) + std::to_string(::getpid()) + "-" + std::to_string(writes.fetch_add(1));
    return temporary;
}

}  // namespace

Result writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode, Existing existing) {
    const std::filesystem::path temporary = temporaryFor(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return {errno};
    Result result;
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0) result.error = errno;
    if (::close(fd) != 0 && result) result.error = errno;
    if (result) {
        if (existing == Existing::keep)
            result = renameNoReplace(temporary, path);
        else if (::rename(temporary.c_str(), path.c_str()) != 0)
            result.error = errno;
    }
    if (!result) {
        ::unlink(temporary.c_str());
        return result;
    }
    syncFolderOf(path);
    return {};
}

Result renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS) return {errno};
    // A file system without that rename: a new link never replaces a file either.
    if (::link(from.c_str(), to.c_str()) != 0) return {errno};
    ::unlink(from.c_str());
    return {};
}

void syncFolderOf(const std::filesystem::path& path) {
    const auto folder = path.parent_path();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::optional<pid_t> temporaryWriter(std::string_view fileName) {
    const size_t marker = fileName.rfind(kTemporaryMarker);
    if (marker == std::string_view::npos) return std::nullopt;
    const char* const end = fileName.data() + fileName.size();
    const auto number = [end](const char* from, char stop, int64_t& value) -> const char* {
        const auto [next, error] = std::from_chars(from, end, value);
        if (error != std::errc() || next == from || *from == '-' || (next == end ? stop != 0 : *next != stop))
            return nullptr;
        return next;
    };
    int64_t pid = 0, serial = 0;
    const char* const dash = number(fileName.data() + marker + kTemporaryMarker.size(), '-', pid);
    if (!dash || !number(dash + 1, 0, serial)) return std::nullopt;
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return std::nullopt;
    return static_cast<pid_t>(pid);
}

bool isAbandonedTemporary(std::string_view fileName) {
    const auto writer = temporaryWriter(fileName);
    return writer && *writer != ::getpid();
}

void removeAbandonedTemporaries(const std::filesystem::path& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return;
    const int fd = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        if (isAbandonedTemporary(entry->d_name)) ::unlinkat(fd, entry->d_name, 0);
    }
    ::closedir(listing);
}

}  // namespace posix
