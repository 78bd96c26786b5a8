#include "orbit/OrbitStorage.h"

#include <system_error>

#include "orbit/Utils/HedgeLog.h"

namespace orbit {

std::string_view OrbitStorage::rawValue(StorageKey key) {
    switch (key) {
    case StorageKey::queue: return "orbit.queueFolder.uuid";
    case StorageKey::oldQueueFolder: return "orbit.queueFolder";
    case StorageKey::oldQueuePlist: return "orbit.queue.plist";
    case StorageKey::replayQeueue: return "orbit.replayFolder.uuid";
    case StorageKey::oldReplayQueue: return "orbit.replayFolder";
    case StorageKey::logsQueue: return "orbit.logsFolder";
    case StorageKey::remoteConfig: return "orbit.remoteConfig";
    case StorageKey::flags: return "orbit.flags";
    case StorageKey::enabledFeatureFlags: return "orbit.enabledFeatureFlags";
    case StorageKey::enabledFeatureFlagPayloads: return "orbit.enabledFeatureFlagPayloads";
    case StorageKey::requestId: return "orbit.requestId";
    case StorageKey::evaluatedAt: return "orbit.evaluatedAt";
    case StorageKey::errorTracking: return "orbit.errorTracking";
    case StorageKey::sessionReplay: return "orbit.sessionReplay";
    case StorageKey::personPropertiesForFlags: return "orbit.personPropertiesForFlags";
    case StorageKey::groupPropertiesForFlags: return "orbit.groupPropertiesForFlags";
    case StorageKey::groups: return "orbit.groups";
    }
    return {};
}

OrbitStorage::OrbitStorage(std::filesystem::path appFolderUrl) : appFolderUrl_(std::move(appFolderUrl)) {
    std::error_code error;
    if (!std::filesystem::exists(appFolderUrl_, error)) std::filesystem::create_directories(appFolderUrl_, error);
    if (error) hedgeLog("Error creating storage directory: " + error.message());
}

}  // namespace orbit
