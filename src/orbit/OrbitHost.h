#pragma once
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "orbit/Queue/OrbitDispatchQueue.h"
#include "orbit/Utils/Clock.h"

namespace orbit {

// What the client knows of the program it runs in. The program passes its build-time constants;
// a field it leaves empty is unknown, except the executable's name, read from /proc/self/exe.
struct OrbitApplicationInfo {
    std::optional<std::string> identifier;  // reverse-domain id, e.g. "com.sablix.app"
    std::optional<std::string> name;
    std::optional<std::string> displayName;
    std::optional<std::string> version;  // the short version, "1.2.0"
    std::optional<std::string> build;    // the build number
    std::string executableName;
    std::filesystem::path executablePath;

    // Only the executable's name and path, from /proc/self/exe.
    static OrbitApplicationInfo fromProcess();
};

// The program's own small key-value store (its defaults), for values the client keeps outside its
// storage folder.
class OrbitDefaultsStore {
public:
    virtual ~OrbitDefaultsStore() = default;
    virtual std::optional<std::string> string(const std::string& key) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void synchronize() = 0;
};

// Where shared containers of application groups are, and whether this program is an extension of
// another. Linux has neither: the standard resolver answers none and false.
class OrbitContainerResolver {
public:
    virtual ~OrbitContainerResolver() = default;
    virtual std::optional<std::filesystem::path> containerURL(const std::string& groupIdentifier) = 0;
    virtual bool isExtension() = 0;
};

// Everything the client takes from its host program.
struct OrbitHost {
    OrbitApplicationInfo applicationInfo = OrbitApplicationInfo::fromProcess();
    std::shared_ptr<OrbitDefaultsStore> defaults;
    OrbitExecutor mainQueue;  // runs a block later on the program's main thread
    Now now = systemNow;
    std::shared_ptr<OrbitContainerResolver> containerResolver;
    // The user's data folder; empty means $XDG_DATA_HOME, else ~/.local/share.
    std::filesystem::path dataHome;

    // Application info from the process, an in-memory defaults store, no containers, and a main
    // queue of the client's own for a program that has none.
    static OrbitHost standard();
};

// The folder that dataHome names, resolved as described there.
std::filesystem::path resolvedDataHome(const std::filesystem::path& dataHome);

}  // namespace orbit
