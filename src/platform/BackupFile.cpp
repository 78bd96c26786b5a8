#include "platform/BackupFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/FileWriting.h"

namespace platform {
namespace {
constexpr int kMaxAttempts = 100;

std::filesystem::path candidate(const std::filesystem::path& stem, int attempt, std::string_view suffix) {
    return stem.string() + (attempt ? "-" + std::to_string(attempt) : "") + std::string(suffix);
}

// Makes a rename in the folder durable.
void syncFolderOf(const std::filesystem::path& path) {
    const int dir =
        ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);
    ::close(dir);
}

// Gives the file the new name unless that name is taken; errno tells why not.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that rename: a new link never replaces a file either.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

}  // namespace

BackupFile writeBackupFile(const std::filesystem::path& stem, std::string_view suffix, std::string_view bytes) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::filesystem::path path = candidate(stem, attempt, suffix);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {{}, std::strerror(errno)};
        }
        const bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
        const int writeErrno = errno;
        ::close(fd);
        if (!ok) {
            ::unlink(path.c_str());
            return {{}, std::strerror(writeErrno)};
        }
        return {std::move(path), {}};
    }
    return {{}, "no free file name"};
}

BackupFile moveToBackupFile(const std::filesystem::path& file, const std::filesystem::path& stem,
                            std::string_view suffix) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::filesystem::path path = candidate(stem, attempt, suffix);
        if (renameNoReplace(file, path)) {
            syncFolderOf(path);
            return {std::move(path), {}};
        }
        if (errno != EEXIST) return {{}, std::strerror(errno)};
    }
    return {{}, "no free file name"};
}

}  // namespace platform
