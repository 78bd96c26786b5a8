#include "orbit/OrbitStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include "orbit/OrbitConfig.h"
#include "orbit/OrbitHost.h"
#include "orbit/Utils/BundleInfo.h"
#include "orbit/Utils/FileUtils.h"
#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"
#include "posix/AtomicFile.h"
#include "posix/PrivateFiles.h"

namespace orbit {
namespace {

using Key = OrbitStorage::StorageKey;

constexpr mode_t kFileMode = posix::kPrivateFileMode;
constexpr const char* kUnknownBundle = "com.orbit.unknown";

struct KeyNames {
    Key key;
    std::string_view caseName;
    std::string_view fileName;
};

constexpr KeyNames kKeys[] = {
    {Key::distinctId, "distinctId", "orbit.distinctId"},
    {Key::anonymousId, "anonymousId", "orbit.anonymousId"},
    {Key::queue, "queue", "orbit.queueFolder.uuid"},
    {Key::oldQueueFolder, "oldQueueFolder", "orbit.queueFolder"},
    {Key::oldQueuePlist, "oldQueuePlist", "orbit.queue.plist"},
    {Key::replayQeueue, "replayQeueue", "orbit.replayFolder.uuid"},
    {Key::oldReplayQueue, "oldReplayQueue", "orbit.replayFolder"},
    {Key::replayBufferQueue, "replayBufferQueue", "orbit.replayBufferFolder"},
    {Key::logsQueue, "logsQueue", "orbit.logsFolder"},
    {Key::enabledFeatureFlags, "enabledFeatureFlags", "orbit.enabledFeatureFlags"},
    {Key::enabledFeatureFlagPayloads, "enabledFeatureFlagPayloads", "orbit.enabledFeatureFlagPayloads"},
    {Key::flags, "flags", "orbit.flags"},
    {Key::groups, "groups", "orbit.groups"},
    {Key::registerProperties, "registerProperties", "orbit.registerProperties"},
    {Key::optOut, "optOut", "orbit.optOut"},
    {Key::sessionReplay, "sessionReplay", "orbit.sessionReplay"},
    {Key::isIdentified, "isIdentified", "orbit.isIdentified"},
    {Key::personProcessingEnabled, "personProcessingEnabled", "orbit.enabledPersonProcessing"},
    {Key::remoteConfig, "remoteConfig", "orbit.remoteConfig"},
    {Key::surveySeen, "surveySeen", "orbit.surveySeen"},
    {Key::lastSeenSurveyDate, "lastSeenSurveyDate", "orbit.lastSeenSurveyDate"},
    {Key::requestId, "requestId", "orbit.requestId"},
    {Key::evaluatedAt, "evaluatedAt", "orbit.evaluatedAt"},
    {Key::personPropertiesForFlags, "personPropertiesForFlags", "orbit.personPropertiesForFlags"},
    {Key::groupPropertiesForFlags, "groupPropertiesForFlags", "orbit.groupPropertiesForFlags"},
    {Key::errorTracking, "errorTracking", "orbit.errorTracking"},
    {Key::deviceId, "deviceId", "orbit.deviceId"},
};

const KeyNames& names(Key key) { return kKeys[static_cast<size_t>(key)]; }

// The values an extension leaves to its main application.
const std::vector<Key> kIdentityKeys = {Key::distinctId,
                                        Key::anonymousId,
                                        Key::isIdentified,
                                        Key::groups,
                                        Key::registerProperties,
                                        Key::personPropertiesForFlags,
                                        Key::groupPropertiesForFlags};

bool somethingAt(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

std::string errnoText(int error) { return std::generic_category().message(error); }

// The whole file, or the errno of the step that failed (a folder where the file belongs is EISDIR).
std::optional<std::string> readFile(const std::filesystem::path& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return error = errno, std::nullopt;
    std::string bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        return error = EISDIR, std::nullopt;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            ::close(fd);
            return std::nullopt;
        }
        bytes.append(buffer, size_t(n));
    }
    ::close(fd);
    return bytes;
}

// A one-member object named after the file, or the value itself.
const nlohmann::json* unwrapped(const nlohmann::json& value, std::string_view fileName) {
    if (!value.is_object()) return &value;
    const auto found = value.find(std::string(fileName));
    return found == value.end() ? nullptr : &*found;
}

template <typename Test>
bool allMembers(const nlohmann::json& object, Test test) {
    return std::all_of(object.begin(), object.end(), test);
}

std::optional<int64_t> integerOf(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<uint64_t>();
        if (n > uint64_t(INT64_MAX)) return std::nullopt;
        return int64_t(n);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_float()) {
        // Converting a double outside the range of int64 is undefined; such a number is absent.
        const double d = std::trunc(value.get<double>());
        if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> appGroupContainerUrl(const OrbitConfig& config, const OrbitHost& host);

std::filesystem::path applicationSupportDirectoryURL(const OrbitHost& host) {
    return resolvedDataHome(host.dataHome) / bundleIdentifier(host.applicationInfo, kUnknownBundle);
}

bool isExtension(const OrbitHost& host) { return host.containerResolver && host.containerResolver->isExtension(); }

std::optional<std::error_code> migrateFile(const std::filesystem::path& from, const std::filesystem::path& to,
                                           bool skipCopy) {
    std::error_code error;
    if (!skipCopy && !somethingAt(to)) {
        std::filesystem::copy_file(from, to, error);
        if (error) return error;
    }
    std::filesystem::remove(from, error);
    if (error) return error;
    return std::nullopt;
}

// An older layout kept an application group's data under the application id instead of the group's.
void mergeLegacyContainerIfNeeded(const std::filesystem::path& within, const std::filesystem::path& to,
                                  const OrbitHost& host) {
    const auto legacy = within / bundleIdentifier(host.applicationInfo, kUnknownBundle);
    if (!directoryExists(legacy)) return;
    std::vector<Key> skipKeys;
    if (isExtension(host)) {
        skipKeys = kIdentityKeys;
        hedgeLog("Legacy folder found at " + legacy.string() +
                 ", merging from extension... (skipping 7 identity keys)");
    } else {
        hedgeLog("Legacy folder found at " + legacy.string() + ", merging from main app... (migrating all keys)");
    }
    migrateDirectoryContents(legacy, to, skipKeys);
    if (removeIfEmpty(legacy)) hedgeLog("Successfully migrated and removed legacy folder at " + legacy.string());
}

std::optional<std::filesystem::path> appGroupContainerUrl(const OrbitConfig& config, const OrbitHost& host) {
    if (!config.appGroupIdentifier || !host.containerResolver) return std::nullopt;
    const auto container = host.containerResolver->containerURL(*config.appGroupIdentifier);
    if (!container) return std::nullopt;
    const auto library = *container / "Library" / "Application Support";
    const auto folder = library / *config.appGroupIdentifier;
    createDirectoryAtURLIfNeeded(folder);
    mergeLegacyContainerIfNeeded(library, folder, host);
    if (!directoryExists(folder)) return std::nullopt;
    return folder;
}

}  // namespace

const std::vector<OrbitStorage::StorageKey>& OrbitStorage::allKeys() {
    static const std::vector<StorageKey> keys = [] {
        std::vector<StorageKey> all;
        for (const auto& entry : kKeys) all.push_back(entry.key);
        return all;
    }();
    return keys;
}

std::string_view OrbitStorage::rawValue(StorageKey key) { return names(key).fileName; }

std::string_view OrbitStorage::caseName(StorageKey key) { return names(key).caseName; }

std::filesystem::path OrbitStorage::getBaseAppFolderUrl(const OrbitConfig& config, const OrbitHost& host) {
    if (auto group = appGroupContainerUrl(config, host)) return *group;
    return applicationSupportDirectoryURL(host);
}

OrbitStorage::OrbitStorage(const OrbitConfig& config, const OrbitHost& host)
    : appFolderUrl_(getBaseAppFolderUrl(config, host) / config.projectToken) {
    // The base folder, named after the application or its group, is the client's own as well.
    createDirectoryAtURLIfNeeded(appFolderUrl_.parent_path());
    createDirectoryAtURLIfNeeded(appFolderUrl_);
    removeLeftovers();
    migrateLegacyStorage(config, host);
}

OrbitStorage::OrbitStorage(std::filesystem::path appFolderUrl) : appFolderUrl_(std::move(appFolderUrl)) {
    createDirectoryAtURLIfNeeded(appFolderUrl_);
    removeLeftovers();
}

// A write cut short by a kill leaves its temporary file behind.
void OrbitStorage::removeLeftovers() const { posix::removeAbandonedTemporaries(appFolderUrl_); }

// An older layout kept the files in the base folder, without the token's level.
void OrbitStorage::migrateLegacyStorage(const OrbitConfig& config, const OrbitHost& host) const {
    const auto legacy = getBaseAppFolderUrl(config, host);
    // Without a token of its own the folder is the base folder itself: nothing is older there.
    std::error_code error;
    if (!directoryExists(legacy) || std::filesystem::equivalent(legacy, appFolderUrl_, error)) return;
    for (const auto key : allKeys()) {
        const std::string name(rawValue(key));
        const auto source = legacy / name;
        const auto destination = appFolderUrl_ / name;
        if (!somethingAt(source)) continue;
        if (!somethingAt(destination)) {
            std::filesystem::copy(source, destination, std::filesystem::copy_options::recursive, error);
            if (error) {
                hedgeLog("Error during storage migration for file " + name + " at path " + source.string() + ": " +
                         error.message());
                continue;
            }
        }
        std::filesystem::remove_all(source, error);
        if (error) hedgeLog("Could not delete file " + name + " at path " + source.string() + ": " + error.message());
    }
}

std::optional<nlohmann::json> OrbitStorage::getJson(StorageKey key) const {
    const auto path = url(key);
    if (!somethingAt(path)) return std::nullopt;
    const std::string name(caseName(key));
    int readError = 0;
    const auto bytes = readFile(path, readError);
    if (!bytes) {
        hedgeLog("Error reading data from key " + name + ": " + errnoText(readError));
        return std::nullopt;
    }
    std::string error;
    auto json = readJSON(*bytes, &error);
    if (json && !json->is_object() && !json->is_array()) error = "the top level is neither an object nor an array";
    if (!json || !error.empty()) {
        hedgeLog("Failed to serialize key '" + name + "' error: " + error);
        return std::nullopt;
    }
    return json;
}

void OrbitStorage::setJson(StorageKey key, const nlohmann::json& json) const {
    const std::string name(caseName(key));
    std::string error;
    const auto text = json.is_object() || json.is_array()
                          ? writeJSON(json, &error, InvalidUtf8::replace)
                          : writeJSON(nlohmann::json{{std::string(rawValue(key)), json}}, &error, InvalidUtf8::replace);
    if (!text) {
        hedgeLog("Failed to serialize key '" + name + "' error: " + error);
        return;
    }
    if (const auto written = posix::writeFileAtomically(url(key), *text, kFileMode, posix::Existing::replace); !written)
        hedgeLog("Failed to write data for key '" + name + "' error: " + written.message());
}

std::optional<std::string> OrbitStorage::getString(StorageKey key) const {
    const auto json = getJson(key);
    if (!json || !json->is_object() ||
        !allMembers(*json, [](const nlohmann::json& member) { return member.is_string(); }))
        return std::nullopt;
    const auto* value = unwrapped(*json, rawValue(key));
    if (!value) return std::nullopt;
    return value->get<std::string>();
}

std::optional<bool> OrbitStorage::getBool(StorageKey key) const {
    const auto json = getJson(key);
    if (!json || !json->is_object() ||
        !allMembers(*json, [](const nlohmann::json& member) { return member.is_boolean(); }))
        return std::nullopt;
    const auto* value = unwrapped(*json, rawValue(key));
    if (!value) return std::nullopt;
    return value->get<bool>();
}

std::optional<int64_t> OrbitStorage::getInt(StorageKey key) const {
    const auto json = getJson(key);
    if (!json || !json->is_object()) return std::nullopt;
    const auto* value = unwrapped(*json, rawValue(key));
    if (!value) return std::nullopt;
    return integerOf(*value);
}

std::optional<nlohmann::json> OrbitStorage::getDictionary(StorageKey key) const {
    auto json = getJson(key);
    if (!json || !json->is_object()) return std::nullopt;
    return json;
}

void OrbitStorage::remove(StorageKey key) const { deleteSafely(url(key)); }

void OrbitStorage::reset(bool keepAnonymousId) const {
    remove(Key::distinctId);
    if (!keepAnonymousId) remove(Key::anonymousId);
    for (const auto key :
         {Key::oldQueueFolder, Key::oldQueuePlist, Key::oldReplayQueue, Key::flags, Key::enabledFeatureFlags,
          Key::enabledFeatureFlagPayloads, Key::groups, Key::registerProperties, Key::optOut, Key::sessionReplay,
          Key::isIdentified, Key::personProcessingEnabled, Key::remoteConfig, Key::surveySeen, Key::lastSeenSurveyDate,
          Key::requestId, Key::personPropertiesForFlags, Key::groupPropertiesForFlags, Key::errorTracking})
        remove(key);
}

void migrateDirectoryContents(const std::filesystem::path& from, const std::filesystem::path& to,
                              const std::vector<OrbitStorage::StorageKey>& skipKeys) {
    createDirectoryAtURLIfNeeded(to);
    std::error_code error;
    std::vector<std::filesystem::path> items;
    for (std::filesystem::directory_iterator it(from, error), end; !error && it != end; it.increment(error))
        items.push_back(it->path());
    if (error) {
        hedgeLog("Error reading directory contents at " + from.string() + ": " + error.message());
        return;
    }
    for (const auto& item : items) {
        const auto destination = to / item.filename();
        const auto status = std::filesystem::symlink_status(item, error);
        if (!std::filesystem::exists(status)) continue;
        if (std::filesystem::is_directory(status)) {
            migrateDirectoryContents(item, destination, skipKeys);
            removeIfEmpty(item);
            continue;
        }
        const auto fileName = item.filename().string();
        const bool skipCopy = std::any_of(skipKeys.begin(), skipKeys.end(),
                                          [&](auto key) { return OrbitStorage::rawValue(key) == fileName; });
        if (const auto failed = migrateFile(item, destination, skipCopy))
            hedgeLog("Failed to migrate file from " + item.string() + " to " + destination.string() + ": " +
                     failed->message());
    }
}

bool removeIfEmpty(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error || it != std::filesystem::directory_iterator()) return false;
    std::filesystem::remove(folder, error);
    if (error) {
        hedgeLog("Failed to remove empty directory at " + folder.string() + ": " + error.message());
        return false;
    }
    return true;
}

}  // namespace orbit
