#pragma once
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Snippets/SnippetItem.h"
#include "Sync/SyncOperation.h"
#include "platform/Clock.h"
#include "platform/Date.h"
#include "platform/Uuid.h"

// The requests and answers of the push and the pull, as pure functions over JSON. Decoding throws
// SnippetCodingError when an answer lacks a required member or has one of the wrong type.
namespace sablix::syncwire {

// The body of a push: the team, its operations oldest first and the clock's present. An
// operation whose payload cannot be read back, or whose text cannot travel as JSON, is left out.
nlohmann::json pushBody(const platform::Uuid& teamId, const std::vector<SyncOperation>& operations,
                        const platform::Clock& clock);

struct OpResult {
    std::string operationId;
    std::string status;
    std::optional<int64_t> serverVersion;
};

struct PushResponse {
    std::vector<OpResult> results;
    std::string serverTimestamp;

    static PushResponse fromJson(const nlohmann::json& json);
};

struct PullResponse {
    std::vector<SnippetItem> snippets;    // the records that convert, in order
    std::vector<std::string> deletedIds;  // as sent, UUIDs or not
    std::string serverTimestamp;
    bool hasMore = false;

    // Records whose "id", "teamId" or "ownerId" is not a UUID are dropped; unparseable dates
    // become `now`.
    static PullResponse fromJson(const nlohmann::json& json, const platform::Date& now);
};

// A date as the backend sends it: whole seconds and a zone ("Z" or "+HH:MM"); nothing else.
std::optional<platform::Date> parseServerDate(const std::string& text);

// The pull's query: "?teamId=<id>" and, when there is one, "&since=<date>".
std::string pullQuery(const platform::Uuid& teamId, const std::optional<platform::Date>& since);

}  // namespace sablix::syncwire
