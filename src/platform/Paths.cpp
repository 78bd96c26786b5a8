#include "platform/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace platform {
namespace {

std::filesystem::path home() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::filesystem::path xdg(const char* variable, const char* fallback) {
    // The XDG rules ignore relative paths.
    if (const char* v = std::getenv(variable); v && *v == '/') return v;
    return home() / fallback;
}

}  // namespace

std::filesystem::path Paths::configHome() { return xdg("XDG_CONFIG_HOME", ".config"); }
std::filesystem::path Paths::dataHome() { return xdg("XDG_DATA_HOME", ".local/share"); }
std::filesystem::path Paths::cacheHome() { return xdg("XDG_CACHE_HOME", ".cache"); }
std::filesystem::path Paths::defaultsFile() { return configHome() / "sablix" / "defaults.json"; }
std::filesystem::path Paths::applicationSupport() { return dataHome() / "Sablix"; }
std::filesystem::path Paths::caches() { return cacheHome(); }

}  // namespace platform
