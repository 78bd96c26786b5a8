#include "orbit/OrbitStorage.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>
#include <vector>

#include "orbit/Utils/HedgeLog.h"
#include "orbit/Utils/JSONUtils.h"

namespace orbit {
namespace {

constexpr std::string_view kTemporaryMarker = ".tmp-";

// The process that wrote a temporary file named "<key>.tmp-<pid>-<n>", or nothing for any other
// name.
std::optional<pid_t> writerOf(const std::string& name) {
    const size_t marker = name.rfind(kTemporaryMarker);
    if (marker == std::string::npos) return std::nullopt;
    const char* const end = name.data() + name.size();
    const auto number = [end](const char* from, char stop, int64_t& value) -> const char* {
        const auto [next, error] = std::from_chars(from, end, value);
        if (error != std::errc() || next == from || *from == '-' || (next == end ? stop != 0 : *next != stop))
            return nullptr;
        return next;
    };
    int64_t pid = 0, serial = 0;
    const char* const dash = number(name.data() + marker + kTemporaryMarker.size(), '-', pid);
    if (!dash || !number(dash + 1, 0, serial)) return std::nullopt;
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return std::nullopt;
    return static_cast<pid_t>(pid);
}

bool isRunning(pid_t pid) { return pid == getpid() || ::kill(pid, 0) == 0 || errno == EPERM; }

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
        const auto writer = writerOf(it->path().filename().string());
        if (writer && !isRunning(*writer)) leftovers.push_back(it->path());
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
    // A name of its own for each write: two threads may store the same key at once.
    static std::atomic<uint64_t> writes{0};
    const auto target = appFolderUrl_ / name;
    auto temporary = target;
    temporary += ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(writes.fetch_add(1));
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << *text;
        file.close();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return hedgeLog("Failed to write " + name);
        }
    }
    std::error_code renameError;
    std::filesystem::rename(temporary, target, renameError);
    if (renameError) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        hedgeLog("Failed to write " + name + ": " + renameError.message());
    }
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
