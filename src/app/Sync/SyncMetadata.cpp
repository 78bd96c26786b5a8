#include "Sync/SyncMetadata.h"

#include "Snippets/SnippetCoding.h"

namespace sablix {

using nlohmann::json;

SyncMetadata SyncMetadata::newLocal(const platform::Clock& clock) {
    SyncMetadata metadata;
    metadata.syncStatus = SyncStatus::pendingUpload;
    metadata.lastModifiedLocally = clock.now();
    metadata.pendingOperation = PendingOperation::create;
    return metadata;
}

SyncMetadata SyncMetadata::synced(int64_t serverVersion, const platform::Clock& clock) {
    SyncMetadata metadata;
    metadata.syncStatus = SyncStatus::synced;
    metadata.lastSyncedAt = clock.now();
    metadata.serverVersion = serverVersion;
    return metadata;
}

json SyncMetadata::toJson() const {
    json out = json::object();
    out["syncStatus"] = std::string(rawValue(syncStatus));
    if (lastSyncedAt) out["lastSyncedAt"] = lastSyncedAt->iso8601();
    if (lastModifiedLocally) out["lastModifiedLocally"] = lastModifiedLocally->iso8601();
    if (serverVersion) out["serverVersion"] = *serverVersion;
    if (pendingOperation) out["pendingOperation"] = std::string(rawValue(*pendingOperation));
    if (conflictData) out["conflictData"] = conflictData->toJson();
    return out;
}

SyncMetadata SyncMetadata::fromJson(const json& object, const platform::Clock& clock) {
    using namespace snippetCoding;
    requireObject(object, "sync metadata");
    SyncMetadata metadata;
    metadata.syncStatus = requiredEnum<SyncStatus>(object, "syncStatus", syncStatusFromRaw);
    metadata.lastSyncedAt = optionalDate(object, "lastSyncedAt");
    metadata.lastModifiedLocally = optionalDate(object, "lastModifiedLocally");
    metadata.serverVersion = optionalInteger(object, "serverVersion");
    metadata.pendingOperation = optionalEnum<PendingOperation>(object, "pendingOperation", pendingOperationFromRaw);
    if (auto it = object.find("conflictData"); it != object.end() && !it->is_null())
        metadata.conflictData = ConflictData::fromJson(*it, clock);
    return metadata;
}

}  // namespace sablix
