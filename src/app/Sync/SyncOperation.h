#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Sync/EntityType.h"
#include "Sync/PendingOperation.h"
#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"
#include "platform/Date.h"
#include "platform/Uuid.h"

namespace sablix {

// One queued local change of a team snippet, waiting to be pushed.
struct SyncOperation {
    platform::Uuid id;
    EntityType entityType = EntityType::snippet;
    platform::Uuid entityId;
    PendingOperation operation = PendingOperation::create;
    std::string payload;  // the snippet's JSON as UTF-8 bytes, dates as ISO 8601
    std::optional<platform::Uuid> teamId;
    platform::Date createdAt;
    int64_t retryCount = 0;
    std::optional<std::string> lastError;
    // Who queued it: it may be pushed only with that user's bearer. Absent for a change queued
    // before changes recorded their user, which is therefore never pushed.
    std::optional<platform::Uuid> userId;

    // A new operation (random id, queued now) carrying the snippet's JSON. A snippet whose text
    // cannot be coded as JSON (bytes that are not UTF-8) throws nlohmann::json::exception.
    static SyncOperation forSnippet(const SnippetItem& snippet, PendingOperation operation,
                                    const platform::Clock& clock);
    // The snippet carried in the payload (dates it lacks: the clock's present); throws
    // SnippetCodingError when it is not one.
    SnippetItem decodeSnippet(const platform::Clock& clock) const;

    // "payload" travels as Base64; "teamId", "lastError" and "userId" are optional, every other
    // key is required. Decoding throws SnippetCodingError.
    nlohmann::json toJson() const;
    static SyncOperation fromJson(const nlohmann::json& json);

    friend bool operator==(const SyncOperation&, const SyncOperation&) = default;
};

}  // namespace sablix
