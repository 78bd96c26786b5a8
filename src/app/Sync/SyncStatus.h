#pragma once
#include <optional>
#include <string_view>

namespace sablix {

// Where one team snippet stands with respect to the server.
enum class SyncStatus { synced, pendingUpload, pendingDownload, syncing, conflict, error };

std::string_view rawValue(SyncStatus status);
std::optional<SyncStatus> syncStatusFromRaw(std::string_view raw);  // exact case only

}  // namespace sablix
