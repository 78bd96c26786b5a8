#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace orbit {

class OrbitConfig;
struct OrbitHost;

// The client's small persistent values, one JSON file per key in a folder per project token,
// and the names of the send queues' sub-folders. Construction chooses the folder, creates it,
// removes what writes cut short by a kill left, and moves in the files of older layouts. No lock:
// the owner of each value serialises its reads and writes. Never throws; failures are logged.
class OrbitStorage {
public:
    enum class StorageKey {
        distinctId,
        anonymousId,
        queue,
        oldQueueFolder,
        oldQueuePlist,
        replayQeueue,
        oldReplayQueue,
        replayBufferQueue,
        logsQueue,
        enabledFeatureFlags,
        enabledFeatureFlagPayloads,
        flags,
        groups,
        registerProperties,
        optOut,
        sessionReplay,
        isIdentified,
        personProcessingEnabled,
        remoteConfig,
        surveySeen,
        lastSeenSurveyDate,
        requestId,
        evaluatedAt,
        personPropertiesForFlags,
        groupPropertiesForFlags,
        errorTracking,
        deviceId,
    };
    static const std::vector<StorageKey>& allKeys();  // in declaration order

    // The file (or folder) name, e.g. "orbit.distinctId".
    static std::string_view rawValue(StorageKey key);
    // The case name the log lines use, e.g. "distinctId".
    static std::string_view caseName(StorageKey key);

    // The folder of the configuration's project token, under the host's data folder.
    OrbitStorage(const OrbitConfig& config, const OrbitHost& host);
    // A folder given as it is: created when missing and cleared of abandoned temporaries, with no
    // migration.
    explicit OrbitStorage(std::filesystem::path appFolderUrl);

    const std::filesystem::path& appFolderUrl() const { return appFolderUrl_; }
    std::filesystem::path url(StorageKey key) const { return appFolderUrl_ / rawValue(key); }

    // The file's top-level object or array; nothing when the file is missing or cannot be read.
    std::optional<nlohmann::json> getJson(StorageKey key) const;
    // An object or array is stored as it is; any other value wrapped in an object whose one member
    // is named after the file. The file is replaced whole, so a reader (or a start after a kill)
    // finds the old value or the new one; a value that cannot be written leaves the file as it was.
    void setJson(StorageKey key, const nlohmann::json& json) const;

    std::optional<std::string> getString(StorageKey key) const;
    std::optional<bool> getBool(StorageKey key) const;
    // A number outside the 64-bit range reads as absent; a real number as its integer part.
    std::optional<int64_t> getInt(StorageKey key) const;
    std::optional<nlohmann::json> getDictionary(StorageKey key) const;
    void setString(StorageKey key, const std::string& contents) const { setJson(key, contents); }
    void setBool(StorageKey key, bool contents) const { setJson(key, contents); }
    void setInt(StorageKey key, int64_t contents) const { setJson(key, contents); }
    void setDictionary(StorageKey key, const nlohmann::json& contents) const { setJson(key, contents); }

    // Deletes the key's file (or folder); a missing one is fine.
    void remove(StorageKey key) const;
    // Deletes the identity and cache files; the queue folders, "orbit.evaluatedAt" and the device
    // id stay, and the anonymous id too when asked.
    void reset(bool keepAnonymousId) const;

    // The folder above the token's: the host's data folder + the application id (or
    // "com.orbit.unknown"), or an application group's container when one is configured and exists.
    static std::filesystem::path getBaseAppFolderUrl(const OrbitConfig& config, const OrbitHost& host);

private:
    void removeLeftovers() const;
    void migrateLegacyStorage(const OrbitConfig& config, const OrbitHost& host) const;

    std::filesystem::path appFolderUrl_;
};

// Moves a folder's contents into another, leaving alone files whose name the destination already
// has; files named after skipKeys are removed without being copied. Sub-folders are merged the
// same way and removed once empty.
void migrateDirectoryContents(const std::filesystem::path& from, const std::filesystem::path& to,
                              const std::vector<OrbitStorage::StorageKey>& skipKeys);
// Removes the folder when it is empty; true when it was removed.
bool removeIfEmpty(const std::filesystem::path& folder);

}  // namespace orbit
