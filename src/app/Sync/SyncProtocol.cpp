#include "Sync/SyncProtocol.h"

#include "Snippets/SnippetCoding.h"

namespace sablix::syncwire {
namespace {

using nlohmann::json;

const json& requiredMember(const json& object, const char* key, json::value_t type) {
    auto found = object.find(key);
    if (found == object.end() || found->type() != type)
        throw SnippetCodingError(std::string("\"") + key + "\": missing or of the wrong type");
    return *found;
}

const json& requiredArray(const json& object, const char* key) {
    return requiredMember(object, key, json::value_t::array);
}

std::string stringIn(const json& value, const char* what) {
    if (!value.is_string()) throw SnippetCodingError(std::string(what) + ": not a string");
    return value.get<std::string>();
}

// Integers only: a JSON number with a fraction is not a version.
int64_t integerMember(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !(found->is_number_integer()))
        throw SnippetCodingError(std::string("\"") + key + "\": missing or not an integer");
    return found->get<int64_t>();
}

std::optional<SnippetItem> convert(const json& record, const platform::Date& now) {
    snippetCoding::requireObject(record, "server snippet");
    const auto id = platform::Uuid::fromString(snippetCoding::requiredString(record, "id"));
    const auto teamId = platform::Uuid::fromString(snippetCoding::requiredString(record, "teamId"));
    const auto ownerId = platform::Uuid::fromString(snippetCoding::requiredString(record, "ownerId"));
    snippetCoding::optionalString(record, "ownerName");
    std::string title = snippetCoding::requiredString(record, "snippetTitle");
    std::string content = snippetCoding::requiredString(record, "snippetContent");
    std::vector<std::string> tags;
    for (const auto& tag : requiredArray(record, "tags")) tags.push_back(stringIn(tag, "\"tags\""));
    const auto visibility = snippetVisibilityFromRaw(snippetCoding::requiredString(record, "visibility"));
    const int64_t version = integerMember(record, "version");
    const auto createdAt = parseServerDate(snippetCoding::requiredString(record, "createdAt"));
    const auto updatedAt = parseServerDate(snippetCoding::requiredString(record, "updatedAt"));
    if (!id || !teamId || !ownerId) return std::nullopt;
    return SnippetItem(*id, std::move(title), std::move(content), std::move(tags), teamId, ownerId,
                       visibility.value_or(SnippetVisibility::team), version, createdAt.value_or(now),
                       updatedAt.value_or(now), std::nullopt);
}

}  // namespace

json pushBody(const platform::Uuid& teamId, const std::vector<SyncOperation>& operations,
              const platform::Clock& clock) {
    const platform::Date now = clock.now();
    json list = json::array();
    for (const auto& operation : operations) {
        std::optional<SnippetItem> snippet;
        try {
            snippet = operation.decodeSnippet(clock);
        } catch (const SnippetCodingError&) {
            continue;
        }
        json payload = {{"snippetTitle", snippet->snippetTitle},
                        {"snippetContent", snippet->snippet},
                        {"tags", snippet->tags},
                        {"visibility", std::string(rawValue(snippet->visibility))}};
        if (operation.operation == PendingOperation::update) payload["expectedVersion"] = snippet->version - 1;
        json object = {{"operationId", operation.id.toString()},
                       {"entityType", std::string(rawValue(operation.entityType))},
                       {"entityId", operation.entityId.toString()},
                       {"operation", std::string(rawValue(operation.operation))},
                       {"payload", std::move(payload)}};
        // One operation whose text cannot be written as JSON must not sink the whole push.
        try {
            (void)object.dump();
        } catch (const json::exception&) {
            continue;
        }
        list.push_back(std::move(object));
    }
    return {{"teamId", teamId.toString()}, {"operations", std::move(list)}, {"clientTimestamp", now.iso8601()}};
}

PushResponse PushResponse::fromJson(const json& object) {
    snippetCoding::requireObject(object, "push response");
    PushResponse response;
    for (const auto& result : requiredArray(object, "results")) {
        snippetCoding::requireObject(result, "operation result");
        OpResult entry{snippetCoding::requiredString(result, "operationId"), snippetCoding::requiredString(result, "status"),
                       std::nullopt};
        auto version = result.find("serverVersion");
        if (version != result.end() && !version->is_null())
            entry.serverVersion = integerMember(result, "serverVersion");
        response.results.push_back(std::move(entry));
    }
    response.serverTimestamp = snippetCoding::requiredString(object, "serverTimestamp");
    return response;
}

PullResponse PullResponse::fromJson(const json& object, const platform::Date& now) {
    snippetCoding::requireObject(object, "pull response");
    PullResponse response;
    for (const auto& record : requiredArray(object, "snippets"))
        if (auto snippet = convert(record, now)) response.snippets.push_back(std::move(*snippet));
    for (const auto& id : requiredArray(object, "deletedIds"))
        response.deletedIds.push_back(stringIn(id, "\"deletedIds\""));
    response.serverTimestamp = snippetCoding::requiredString(object, "serverTimestamp");
    response.hasMore = requiredMember(object, "hasMore", json::value_t::boolean).get<bool>();
    return response;
}

std::optional<platform::Date> parseServerDate(const std::string& text) {
    // "YYYY-MM-DDTHH:MM:SS" then "Z" or "+HH:MM"/"-HH:MM": a fraction or anything else is refused.
    const bool zulu = text.size() == 20 && text[19] == 'Z';
    const bool offset = text.size() == 25 && (text[19] == '+' || text[19] == '-') && text[22] == ':';
    if (!zulu && !offset) return std::nullopt;
    return platform::Date::fromIso8601(text);
}

std::string pullQuery(const platform::Uuid& teamId, const std::optional<platform::Date>& since) {
    std::string query = "?teamId=" + teamId.toString();
    if (since) query += "&since=" + since->iso8601();
    return query;
}

}  // namespace sablix::syncwire
