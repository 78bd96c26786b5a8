#include "Sync/PendingOperation.h"

#include "platform/EnumTable.h"

namespace sablix {

namespace {

constexpr platform::EnumTable<PendingOperation, 3> kPendingOperationTable{{
    {PendingOperation::create, "create"},
    {PendingOperation::update, "update"},
    {PendingOperation::remove, "delete"},
}};

}  // namespace

std::string_view rawValue(PendingOperation value) { return kPendingOperationTable.raw(value); }

std::optional<PendingOperation> pendingOperationFromRaw(std::string_view raw) {
    return kPendingOperationTable.parse(raw);
}

}  // namespace sablix
