#include "platform/BackupFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/FileWriting.h"

namespace platform {
namespace {
constexpr int kMaxAttempts = 100;
}

BackupFile writeBackupFile(const std::filesystem::path& stem, std::string_view suffix, std::string_view bytes) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::filesystem::path path =
            stem.string() + (attempt ? "-" + std::to_string(attempt) : "") + std::string(suffix);
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

}  // namespace platform
