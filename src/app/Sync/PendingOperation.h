#pragma once
#include <optional>
#include <string_view>

namespace sablix {

// The kind of local change waiting to be pushed; also its value on the wire.
enum class PendingOperation { create, update, remove };

// The raw values are "create", "update" and "delete" ("delete" is a C++ keyword, hence `remove`).
std::string_view rawValue(PendingOperation operation);
std::optional<PendingOperation> pendingOperationFromRaw(std::string_view raw);

}  // namespace sablix
