#include "platform/BackupFile.h"

#include <cerrno>

#include "posix/AtomicFile.h"

namespace platform {
namespace {
constexpr int kMaxAttempts = 100;
// A copy of the user's data is the user's alone.
constexpr mode_t kFileMode = 0600;

std::filesystem::path candidate(const std::filesystem::path& stem, int attempt, std::string_view suffix) {
    return stem.string() + (attempt ? "-" + std::to_string(attempt) : "") + std::string(suffix);
}

}  // namespace

BackupFile writeBackupFile(const std::filesystem::path& stem, std::string_view suffix, std::string_view bytes) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::filesystem::path path = candidate(stem, attempt, suffix);
        const auto written = posix::writeFileAtomically(path, bytes, kFileMode, posix::Existing::keep);
        if (written) return {std::move(path), {}};
        if (written.error != EEXIST) return {{}, written.message()};
    }
    return {{}, "no free file name"};
}

BackupFile moveToBackupFile(const std::filesystem::path& file, const std::filesystem::path& stem,
                            std::string_view suffix) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::filesystem::path path = candidate(stem, attempt, suffix);
        const auto moved = posix::renameNoReplace(file, path);
        if (moved) {
            posix::syncFolderOf(path);
            return {std::move(path), {}};
        }
        if (moved.error != EEXIST) return {{}, moved.message()};
    }
    return {{}, "no free file name"};
}

}  // namespace platform
