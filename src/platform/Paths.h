#pragma once
#include <filesystem>

namespace platform {

// The XDG folders that stand in for the macOS per-user folders. Each honours its XDG_* variable
// and falls back to the usual place under $HOME.
class Paths {
public:
    static std::filesystem::path configHome();          // $XDG_CONFIG_HOME or ~/.config
    static std::filesystem::path dataHome();            // $XDG_DATA_HOME or ~/.local/share
    static std::filesystem::path cacheHome();           // $XDG_CACHE_HOME or ~/.cache
    static std::filesystem::path defaultsFile();        // configHome()/sablix/defaults.json
    static std::filesystem::path applicationSupport();  // dataHome()/Sablix
    static std::filesystem::path caches();              // cacheHome()
};

}  // namespace platform
