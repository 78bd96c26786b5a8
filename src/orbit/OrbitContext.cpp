#include "orbit/OrbitContext.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "orbit/Network/Reachability.h"
#include "orbit/OrbitVersion.h"
#include "orbit/Utils/BundleInfo.h"
#include "orbit/Utils/Utf8.h"

namespace orbit {
namespace {

// DMI values and zone names are short; a longer file is not what it claims to be.
constexpr std::streamsize kMaxSmallFileBytes = 256;

std::string trimmed(std::string_view text) {
    const auto blank = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blank);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(blank) - first + 1));
}

// The trimmed first line of a small text file; nothing when it is missing, empty, too long or
// not text.
std::optional<std::string> readSmallText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string bytes(kMaxSmallFileBytes + 1, '\0');
    file.read(bytes.data(), kMaxSmallFileBytes + 1);
    bytes.resize(static_cast<size_t>(file.gcount()));
    if (bytes.size() > static_cast<size_t>(kMaxSmallFileBytes)) return std::nullopt;
    const auto line = trimmed(std::string_view(bytes).substr(0, bytes.find('\n')));
    if (line.empty() || !isValidUtf8(line)) return std::nullopt;
    for (const unsigned char c : line)
        if (c < 0x20 || c == 0x7f) return std::nullopt;
    return line;
}

// "Asia/Kolkata" out of ".../zoneinfo/Asia/Kolkata"; the text itself when it has no such part.
std::string zoneAfterZoneinfo(const std::string& text) {
    const std::string marker = "zoneinfo/";
    const auto at = text.rfind(marker);
    return at == std::string::npos ? text : text.substr(at + marker.size());
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::optional<std::string> OrbitContextSources::processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

OrbitContext::OrbitContext(Reachability* reachability, OrbitContextSources sources)
    : reachability_(reachability), sources_(std::move(sources)) {}

std::optional<std::string> OrbitContext::readDmiValue(const std::filesystem::path& root, const char* name) {
    return readSmallText(root / "sys/class/dmi/id" / name);
}

std::optional<std::string> OrbitContext::machineName() {
    struct utsname names {};
    if (uname(&names) != 0 || names.machine[0] == '\0') return std::nullopt;
    return std::string(names.machine);
}

std::optional<std::string> OrbitContext::localeLanguage(const OrbitContextSources::Environment& env) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto value = env(name);
        if (!value || value->empty()) continue;
        // The first one set decides, as it does for the C library.
        const auto language = value->substr(0, value->find_first_of("_.@"));
        if (language.empty() || language == "C" || language == "POSIX" || !isValidUtf8(language)) return std::nullopt;
        return language;
    }
    return std::nullopt;
}

std::optional<std::string> OrbitContext::timeZoneName(const std::filesystem::path& root,
                                                      const OrbitContextSources::Environment& env) {
    if (auto tz = env("TZ"); tz && !tz->empty()) {
        if (tz->front() == ':') tz->erase(0, 1);
        auto name = zoneAfterZoneinfo(*tz);
        if (!name.empty() && isValidUtf8(name)) return name;
    }
    if (auto name = readSmallText(root / "etc/timezone")) return name;
    std::error_code error;
    const auto target = std::filesystem::read_symlink(root / "etc/localtime", error);
    if (error) return std::nullopt;
    const auto text = target.string();
    if (text.find("zoneinfo/") == std::string::npos || !isValidUtf8(text)) return std::nullopt;
    auto name = zoneAfterZoneinfo(text);
    if (name.empty()) return std::nullopt;
    return name;
}

const nlohmann::json& OrbitContext::staticContext() {
    std::call_once(staticOnce_, [this] {
        const auto& info = sources_.applicationInfo;
        auto properties = nlohmann::json::object();
        if (info.name)
            properties["$app_name"] = *info.name;
        else if (info.displayName)
            properties["$app_name"] = *info.displayName;
        if (const auto version = appVersionString(info)) properties["$app_version"] = *version;
        if (info.build) properties["$app_build"] = parseBundleVersion(*info.build);
        properties["$is_testflight"] = false;
        properties["$is_sideloaded"] = false;
        properties["$app_namespace"] = bundleIdentifier(info, "com.orbit.unknown");
        if (const auto vendor = readDmiValue(sources_.root, "sys_vendor")) properties["$device_manufacturer"] = *vendor;
        if (const auto machine = machineName()) properties["$device_model"] = *machine;
        properties["$device_type"] = "Desktop";
        properties["$is_emulator"] = false;
        properties["$is_ios_running_on_mac"] = false;
        properties["$is_mac_catalyst_app"] = false;
        if (const auto product = readDmiValue(sources_.root, "product_name")) properties["$device_name"] = *product;
        properties["$os_name"] = osName();
        properties["$os_version"] = osVersionString();
        theStaticContext_ = std::move(properties);
    });
    return theStaticContext_;
}

const nlohmann::json& OrbitContext::sdkInfo() {
    std::call_once(sdkInfoOnce_, [this] {
        theSdkInfo_ = {{"$lib", orbitSdkName()}, {"$lib_version", orbitVersion()}};
    });
    return theSdkInfo_;
}

const nlohmann::json& OrbitContext::personPropertiesContext() {
    std::call_once(personOnce_, [this] {
        const auto& all = staticContext();
        auto properties = nlohmann::json::object();
        for (const char* key : {"$app_version", "$app_build", "$app_namespace", "$os_name", "$os_version", "$device_type"})
            if (all.contains(key)) properties[key] = all[key];
        properties.update(sdkInfo());
        thePersonPropertiesContext_ = std::move(properties);
    });
    return thePersonPropertiesContext_;
}

nlohmann::json OrbitContext::dynamicContext() {
    auto properties = nlohmann::json::object();
    std::optional<OrbitScreenSize> size;
    {
        std::lock_guard lock(screenSizeLock_);
        size = screenSize_;
    }
    if (size) {
        properties["$screen_width"] = static_cast<float>(size->width);
        properties["$screen_height"] = static_cast<float>(size->height);
    }
    if (const auto language = localeLanguage(sources_.env)) properties["$locale"] = *language;
    if (const auto zone = timeZoneName(sources_.root, sources_.env)) properties["$timezone"] = *zone;
    if (reachability_) {
        const auto connection = reachability_->connection();
        properties["$network_wifi"] = connection == Reachability::Connection::wifi;
        properties["$network_cellular"] = connection == Reachability::Connection::cellular;
    }
    return properties;
}

void OrbitContext::setScreenSize(std::optional<OrbitScreenSize> size) {
    std::lock_guard lock(screenSizeLock_);
    screenSize_ = size;
}

std::string macModelToFriendlyName(std::string_view model) {
    if (model.empty()) return "Mac";
    if (startsWith(model, "MacBookAir")) return "MacBook Air";
    if (startsWith(model, "MacBookPro")) return "MacBook Pro";
    if (startsWith(model, "MacBook")) return "MacBook";
    if (startsWith(model, "Macmini")) return "Mac mini";
    if (startsWith(model, "MacPro")) return "Mac Pro";
    if (startsWith(model, "MacStudio") || startsWith(model, "Mac13")) return "Mac Studio";
    if (startsWith(model, "iMac")) return "iMac";
    if (startsWith(model, "Mac")) {
        for (const char* air : {"Mac14,2", "Mac14,15", "Mac15,3", "Mac15,6", "Mac15,7"})
            if (startsWith(model, air)) return "MacBook Air";
        if (startsWith(model, "Mac14") || startsWith(model, "Mac15")) return "MacBook Pro";
        return "Mac";
    }
    if (startsWith(model, "VirtualMac")) return "Mac (Virtual)";
    return "Mac";
}

}  // namespace orbit
