#include "Sync/SyncOperation.h"

#include "Snippets/SnippetCoding.h"
#include "platform/Base64.h"

namespace sablix {

using nlohmann::json;

SyncOperation SyncOperation::forSnippet(const SnippetItem& snippet, PendingOperation operation,
                                        const platform::Clock& clock) {
    return SyncOperation{platform::Uuid::generate(),
                         EntityType::snippet,
                         snippet.id,
                         operation,
                         snippet.toJson(DateCoding::iso8601).dump(),
                         snippet.teamId,
                         clock.now(),
                         0,
                         std::nullopt,
                         std::nullopt};
}

SnippetItem SyncOperation::decodeSnippet(const platform::Clock& clock) const {
    json parsed = json::parse(payload, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) throw SnippetCodingError("the payload is not JSON");
    return SnippetItem::fromJson(parsed, DateCoding::iso8601, clock);
}

json SyncOperation::toJson() const {
    json out = json::object();
    out["id"] = id.toString();
    out["entityType"] = std::string(rawValue(entityType));
    out["entityId"] = entityId.toString();
    out["operation"] = std::string(rawValue(operation));
    out["payload"] = platform::base64Encode(payload);
    if (teamId) out["teamId"] = teamId->toString();
    out["createdAt"] = createdAt.iso8601();
    out["retryCount"] = retryCount;
    if (lastError) out["lastError"] = *lastError;
    if (userId) out["userId"] = userId->toString();
    return out;
}

SyncOperation SyncOperation::fromJson(const json& object) {
    using namespace snippetCoding;
    requireObject(object, "sync operation");
    SyncOperation operation;
    operation.id = requiredUuid(object, "id");
    operation.entityType = requiredEnum<EntityType>(object, "entityType", entityTypeFromRaw);
    operation.entityId = requiredUuid(object, "entityId");
    operation.operation = requiredEnum<PendingOperation>(object, "operation", pendingOperationFromRaw);
    auto payload = platform::base64DecodeString(requiredString(object, "payload"));
    if (!payload) throw SnippetCodingError("\"payload\": not Base64");
    operation.payload = std::move(*payload);
    operation.teamId = optionalUuid(object, "teamId");
    operation.createdAt = requiredDate(object, "createdAt");
    operation.retryCount = requiredInteger(object, "retryCount");
    operation.lastError = optionalString(object, "lastError");
    operation.userId = optionalUuid(object, "userId");
    return operation;
}

}  // namespace sablix
