#pragma once
#include <sys/types.h>

#include <filesystem>

#include "posix/Result.h"

namespace posix {

// What the program stores is its user's alone: no bit for the group or others, without a
// process-wide umask (the programs it starts, the browser among them, would inherit that).
inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateFolderMode = 0700;

// Makes folder, and every missing folder above it, with kPrivateFolderMode. An existing folder is
// one of the program's own: it loses any bit for the group or others. Existing folders above it
// are left as they are; they belong to the user's desktop, not to the program.
Result createPrivateFolder(const std::filesystem::path& folder);

// Gives an existing file of the program's own (one an older version made, or one copied in) no bit
// for the group or others.
Result makePrivate(const std::filesystem::path& file);

}  // namespace posix
