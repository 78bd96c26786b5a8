#include "posix/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace posix {
namespace {

constexpr mode_t kGroupAndOthers = 077;

Result tighten(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {errno};
    if ((info.st_mode & kGroupAndOthers) == 0) return {};
    if (::fchmod(fd, info.st_mode & 07700) != 0) return {errno};
    return {};
}

Result makeFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), kPrivateFolderMode) == 0 || errno == EEXIST) return {};
    if (errno != ENOENT) return {errno};
    const auto parent = folder.parent_path();
    if (parent.empty() || parent == folder) return {ENOENT};
    if (const auto made = makeFolder(parent); !made) return made;
    if (::mkdir(folder.c_str(), kPrivateFolderMode) == 0 || errno == EEXIST) return {};
    return {errno};
}

}  // namespace

Result createPrivateFolder(const std::filesystem::path& folder) {
    // A trailing separator names the same folder; mkdir of "a/b/" works, but its parent_path is "a/b".
    const std::filesystem::path path = folder.has_filename() ? folder : folder.parent_path();
    if (const auto made = makeFolder(path); !made) return made;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {errno};
    const Result result = tighten(fd);
    ::close(fd);
    return result;
}

Result makePrivate(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {errno};
    const Result result = tighten(fd);
    ::close(fd);
    return result;
}

}  // namespace posix
