#include "Sync/SyncStatus.h"

#include "platform/EnumTable.h"

namespace sablix {

namespace {

constexpr platform::EnumTable<SyncStatus, 6> kSyncStatusTable{{
    {SyncStatus::synced, "synced"},
    {SyncStatus::pendingUpload, "pendingUpload"},
    {SyncStatus::pendingDownload, "pendingDownload"},
    {SyncStatus::syncing, "syncing"},
    {SyncStatus::conflict, "conflict"},
    {SyncStatus::error, "error"},
}};

}  // namespace

std::string_view rawValue(SyncStatus value) { return kSyncStatusTable.raw(value); }

std::optional<SyncStatus> syncStatusFromRaw(std::string_view raw) { return kSyncStatusTable.parse(raw); }

}  // namespace sablix
