#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace orbit {

// The client's storage folder. Each key names a file (a stored value) or a folder (a queue) in it.
class OrbitStorage {
public:
    enum class StorageKey {
        queue,
        oldQueueFolder,
        oldQueuePlist,
        replayQeueue,
        oldReplayQueue,
        logsQueue,
        remoteConfig,
        flags,
        enabledFeatureFlags,
        enabledFeatureFlagPayloads,
        requestId,
        evaluatedAt,
        errorTracking,
        sessionReplay,
        personPropertiesForFlags,
        groupPropertiesForFlags,
        groups,
    };

    static std::string_view rawValue(StorageKey key);

    // Creates the folder when it is missing, and removes the temporary files of writes that a
    // process which is gone never finished.
    explicit OrbitStorage(std::filesystem::path appFolderUrl);

    const std::filesystem::path& appFolderUrl() const { return appFolderUrl_; }

    // The JSON value in the key's file (a value that is neither object nor array comes wrapped in
    // an object under the key's own name); nothing when the file is missing or is not JSON.
    std::optional<nlohmann::json> getJson(StorageKey key) const;
    // Replaces the key's file as a whole, so a reader sees the old value or the new one, never a
    // torn file. A value that cannot be written is logged and the key's file is deleted.
    void setJson(StorageKey key, const nlohmann::json& json) const;
    std::optional<std::string> getString(StorageKey key) const;
    std::optional<int64_t> getInt(StorageKey key) const;
    // Deletes the key's file; a missing file is fine.
    void remove(StorageKey key) const;

private:
    void removeLeftovers() const;

    std::filesystem::path appFolderUrl_;
};

}  // namespace orbit
