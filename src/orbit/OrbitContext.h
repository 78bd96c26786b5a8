#pragma once
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "orbit/OrbitHost.h"

namespace orbit {

class Reachability;

// Where the context reads the system: the files under root ("/" in a program, a fixture tree in
// tests) and the environment through env.
struct OrbitContextSources {
    using Environment = std::function<std::optional<std::string>(const char* name)>;

    OrbitApplicationInfo applicationInfo;
    std::filesystem::path root = "/";
    Environment env = processEnvironment;

    static std::optional<std::string> processEnvironment(const char* name);
};

// The screen the application shows its windows on, in points.
struct OrbitScreenSize {
    double width = 0;
    double height = 0;
};

// The properties every event carries about its application, device, system and network: a static
// set and the library set built once, a dynamic set read anew for every event. It reads the
// network through the client's reachability monitor, which outlives it. Any thread may read.
class OrbitContext {
public:
    explicit OrbitContext(Reachability* reachability, OrbitContextSources sources = {});

    const nlohmann::json& staticContext();
    const nlohmann::json& sdkInfo();
    const nlohmann::json& personPropertiesContext();
    nlohmann::json dynamicContext();

    // The host reports the screen of its key window; nothing when no window is key.
    void setScreenSize(std::optional<OrbitScreenSize> size);

    // The readers behind the keys, each nothing when its source is missing, empty or unreadable.
    static std::optional<std::string> readDmiValue(const std::filesystem::path& root, const char* name);
    static std::optional<std::string> machineName();
    static std::optional<std::string> localeLanguage(const OrbitContextSources::Environment& env);
    static std::optional<std::string> timeZoneName(const std::filesystem::path& root,
                                                   const OrbitContextSources::Environment& env);

private:
    Reachability* const reachability_;
    const OrbitContextSources sources_;

    std::mutex screenSizeLock_;
    std::optional<OrbitScreenSize> screenSize_;

    std::once_flag staticOnce_, sdkInfoOnce_, personOnce_;
    nlohmann::json theStaticContext_, theSdkInfo_, thePersonPropertiesContext_;
};

// The marketing name of a Mac model text ("MacBookPro18,3" → "MacBook Pro").
std::string macModelToFriendlyName(std::string_view model);

}  // namespace orbit
