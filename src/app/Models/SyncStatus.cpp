#include "Models/SyncStatus.h"

namespace sablix {

std::string_view rawValue(SyncStatus status) {
    switch (status) {
    case SyncStatus::synced: return "synced";
    case SyncStatus::pendingUpload: return "pendingUpload";
    case SyncStatus::pendingDownload: return "pendingDownload";
    case SyncStatus::syncing: return "syncing";
    case SyncStatus::conflict: return "conflict";
    case SyncStatus::error: return "error";
    }
    return "synced";
}

std::optional<SyncStatus> syncStatusFromRaw(std::string_view raw) {
    for (auto status : {SyncStatus::synced, SyncStatus::pendingUpload, SyncStatus::pendingDownload,
                        SyncStatus::syncing, SyncStatus::conflict, SyncStatus::error})
        if (rawValue(status) == raw) return status;
    return std::nullopt;
}

}  // namespace sablix
