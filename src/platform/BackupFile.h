#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Where a copy was written, or why none could be.
struct BackupFile {
    std::filesystem::path path;  // empty when no copy was made
    std::string error;

    explicit operator bool() const { return !path.empty(); }
};

// Writes the bytes to a new file "<stem><suffix>", or "<stem>-N<suffix>" when that name is taken:
// never over an earlier copy, which may hold what this one lacks. The file is readable by the
// user only, appears whole or not at all, and is synced to disk before the answer.
BackupFile writeBackupFile(const std::filesystem::path& stem, std::string_view suffix, std::string_view bytes);

// Moves the file to a new name, chosen as writeBackupFile chooses it, never over another file.
// For a file that other code may still hold open or rewrite in place (a database and its journal).
BackupFile moveToBackupFile(const std::filesystem::path& file, const std::filesystem::path& stem,
                            std::string_view suffix);

}  // namespace platform
