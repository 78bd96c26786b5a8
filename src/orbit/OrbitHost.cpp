#include "orbit/OrbitHost.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>

namespace orbit {
namespace {

class MemoryDefaultsStore : public OrbitDefaultsStore {
public:
    std::optional<std::string> string(const std::string& key) override {
        std::lock_guard lock(lock_);
        const auto found = values_.find(key);
        return found == values_.end() ? std::nullopt : std::optional(found->second);
    }
    void setString(const std::string& key, const std::string& value) override {
        std::lock_guard lock(lock_);
        values_[key] = value;
    }
    void synchronize() override {}

private:
    std::mutex lock_;
    std::map<std::string, std::string> values_;
};

class NoContainers : public OrbitContainerResolver {
public:
    std::optional<std::filesystem::path> containerURL(const std::string&) override { return std::nullopt; }
    bool isExtension() override { return false; }
};

}  // namespace

OrbitApplicationInfo OrbitApplicationInfo::fromProcess() {
    OrbitApplicationInfo info;
    std::error_code error;
    info.executablePath = std::filesystem::read_symlink("/proc/self/exe", error);
    info.executableName = error ? std::string() : info.executablePath.filename().string();
    return info;
}

OrbitHost OrbitHost::standard() {
    // The process's one stand-in main queue; it lives as long as the process.
    static OrbitDispatchQueue* const mainQueue = new OrbitDispatchQueue("orbit.main");
    OrbitHost host;
    host.defaults = std::make_shared<MemoryDefaultsStore>();
    host.mainQueue = mainQueue->executor();
    host.containerResolver = std::make_shared<NoContainers>();
    return host;
}

std::filesystem::path resolvedDataHome(const std::filesystem::path& dataHome) {
    if (!dataHome.empty()) return dataHome;
    // A relative value is ignored, as the XDG base-directory rules ask.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "share";
}

}  // namespace orbit
