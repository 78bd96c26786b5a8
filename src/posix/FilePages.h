#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "posix/Result.h"

namespace posix {

// One mapping of a process's address space, as /proc/<pid>/smaps lists it.
struct Mapping {
    uintptr_t start = 0;
    uintptr_t end = 0;
    std::string permissions;  // "r-xp", "rw-s" …
    std::string path;         // empty for anonymous memory; "[heap]", "[stack]" … for the kernel's own
    size_t residentKiB = 0;
    size_t anonymousKiB = 0;  // pages the process changed (copy-on-write), or anonymous memory
    size_t lockedKiB = 0;
};

// The mappings of a smaps text; lines it does not understand are skipped.
std::vector<Mapping> mappingsFromSmaps(std::string_view smaps);

// Whether every page of the mapping is, and stays, an unchanged copy of a regular file's bytes:
// a mapping of a file that cannot be written and that holds no page the process changed (a
// library's relocated data, made read-only after its relocation, does).
bool holdsOnlyFileBytes(const Mapping& mapping);

// Unmaps from this process the resident pages of every mapping that holds only file bytes (code
// and read-only data of the program and its libraries, fonts). They stay in the page cache, and
// the next use maps them in again with a minor fault: nothing the process holds is lost, but a
// process that idles no longer keeps resident the code of everything it did before. An error is
// that of reading the process's mappings; a mapping the kernel refuses to release is skipped.
Result releaseFilePages();

}  // namespace posix
