#pragma once
#include <filesystem>
#include <vector>

namespace sablix {

// The folders the application keeps its files in, made ready before anything reads or writes
// them: each exists, is private to the user (an older version made them readable by everyone),
// and holds no temporary file of an atomic write that a crash or a kill cut short. Made once the
// process is the only instance, so that no other writer's file is taken for a leftover.
class StorageFolders {
public:
    explicit StorageFolders(const std::vector<std::filesystem::path>& folders);
};

}  // namespace sablix
