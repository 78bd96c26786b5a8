#pragma once
#include <filesystem>
#include <string_view>

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

    // Creates the folder when it is missing.
    explicit OrbitStorage(std::filesystem::path appFolderUrl);

    const std::filesystem::path& appFolderUrl() const { return appFolderUrl_; }

private:
    std::filesystem::path appFolderUrl_;
};

}  // namespace orbit
