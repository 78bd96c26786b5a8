#include "Models/PendingOperation.h"

namespace sablix {

std::string_view rawValue(PendingOperation operation) {
    switch (operation) {
    case PendingOperation::create: return "create";
    case PendingOperation::update: return "update";
    case PendingOperation::remove: return "delete";
    }
    return "create";
}

std::optional<PendingOperation> pendingOperationFromRaw(std::string_view raw) {
    for (auto operation : {PendingOperation::create, PendingOperation::update, PendingOperation::remove})
        if (rawValue(operation) == raw) return operation;
    return std::nullopt;
}

}  // namespace sablix
