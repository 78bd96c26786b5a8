#pragma once
#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "Sync/ConflictData.h"
#include "Sync/PendingOperation.h"
#include "Sync/SyncStatus.h"
#include "platform/Clock.h"
#include "platform/Date.h"

namespace sablix {

// The sync state of one team snippet.
struct SyncMetadata {
    SyncStatus syncStatus = SyncStatus::synced;
    std::optional<platform::Date> lastSyncedAt;
    std::optional<platform::Date> lastModifiedLocally;
    std::optional<int64_t> serverVersion;
    std::optional<PendingOperation> pendingOperation;
    std::optional<ConflictData> conflictData;

    // A snippet just saved locally: waiting to be uploaded as a create.
    static SyncMetadata newLocal(const platform::Clock& clock);
    // A snippet just brought in from the server at the given version.
    static SyncMetadata synced(int64_t serverVersion, const platform::Clock& clock);

    // Absent fields are left out; only "syncStatus" is required when decoding (missing or null
    // keys are absent). Decoding throws SnippetCodingError; the clock dates snippets that carry
    // no dates.
    nlohmann::json toJson() const;
    static SyncMetadata fromJson(const nlohmann::json& json, const platform::Clock& clock);

    friend bool operator==(const SyncMetadata&, const SyncMetadata&) = default;
};

}  // namespace sablix
