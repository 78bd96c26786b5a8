#include "orbit/OrbitStorage.h"

#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"
#include "posix/AtomicFile.h"

namespace orbit {
namespace {

// The files are stored as the process's umask allows.
constexpr mode_t kFileMode = 0666;

}  // namespace

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
    removeLeftovers();
}

// A write cut short by a kill leaves its temporary file behind; a running writer's are its own.
void OrbitStorage::removeLeftovers() const {
    std::error_code error;
    std::vector<std::filesystem::path> leftovers;
    for (std::filesystem::directory_iterator it(appFolderUrl_, error), end; !error && it != end; it.increment(error)) {
        if (posix::isAbandonedTemporary(it->path().filename().string())) leftovers.push_back(it->path());
    }
    if (error) hedgeLog("Error reading storage directory: " + error.message());
    for (const auto& leftover : leftovers) {
        std::error_code removeError;
        if (!std::filesystem::remove(leftover, removeError) && removeError)
            hedgeLog("Error trying to delete file " + leftover.string() + " " + removeError.message());
    }
}

std::optional<nlohmann::json> OrbitStorage::getJson(StorageKey key) const {
    std::ifstream file(appFolderUrl_ / rawValue(key), std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return readJSON(bytes.view());
}

void OrbitStorage::setJson(StorageKey key, const nlohmann::json& json) const {
    const std::string name(rawValue(key));
    std::string error;
    const auto text =
        json.is_object() || json.is_array() ? writeJSON(json, &error) : writeJSON(nlohmann::json{{name, json}}, &error);
    if (!text) {
        hedgeLog("Failed to serialize " + name + ": " + error);
        return remove(key);
    }
    if (const auto written =
            posix::writeFileAtomically(appFolderUrl_ / name, *text, kFileMode, posix::Existing::replace);
        !written)
        hedgeLog("Failed to write " + name + ": " + written.message());
}

std::optional<std::string> OrbitStorage::getString(StorageKey key) const {
    const auto json = getJson(key);
    if (!json || !json->is_object()) return std::nullopt;
    const auto found = json->find(std::string(rawValue(key)));
    if (found == json->end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<int64_t> OrbitStorage::getInt(StorageKey key) const {
    const auto json = getJson(key);
    if (!json || !json->is_object()) return std::nullopt;
    const auto found = json->find(std::string(rawValue(key)));
    if (found == json->end() || !found->is_number_integer()) return std::nullopt;
    if (found->is_number_unsigned() && found->get<uint64_t>() > uint64_t(INT64_MAX)) return std::nullopt;
    return found->get<int64_t>();
}

void OrbitStorage::remove(StorageKey key) const {
    std::error_code error;
    const auto path = appFolderUrl_ / rawValue(key);
    if (!std::filesystem::remove(path, error) && error)
        hedgeLog("Error trying to delete file " + path.string() + " " + error.message());
}

}  // namespace orbit
