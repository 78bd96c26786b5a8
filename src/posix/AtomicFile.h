#pragma once
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "posix/Result.h"

namespace posix {

// What a write does when a file already stands at its path.
enum class Existing { replace, keep };

// Puts bytes in the file at path so that a reader, and the disk after a crash, finds the old file
// or the new one whole, never a part of either. The bytes go to a temporary file
// "<name>.tmp-<pid>-<n>" beside it, created with mode (less the umask) before a byte is in it,
// synced, and renamed to path; then the folder is synced. With Existing::keep, a file at path
// fails the write with EEXIST. On any failure the temporary is gone and path is as it was.
Result writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode, Existing existing);

// Gives the file the new name unless that name is taken (EEXIST): never over another file.
Result renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes a rename into the file's folder durable.
void syncFolderOf(const std::filesystem::path& path);

// The process that wrote a temporary file of writeFileAtomically, read from the file's name;
// nothing for any other name.
std::optional<pid_t> temporaryWriter(std::string_view fileName);

// True for such a temporary of another process: a write cut short by a kill or a crash. Only this
// process's own temporaries are writes under way. A process that runs now under the dead writer's
// number is no sign of a write: it is most often another program that reused the number.
bool isAbandonedTemporary(std::string_view fileName);

// Deletes the abandoned temporaries in folder (not below it). Called at start, once the program
// knows it is the only instance writing there, for every folder it writes atomically.
void removeAbandonedTemporaries(const std::filesystem::path& folder);

}  // namespace posix
