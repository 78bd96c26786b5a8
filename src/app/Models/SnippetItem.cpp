#include "Models/SnippetItem.h"

#include "platform/TextRules.h"

namespace sablix {
namespace {

using nlohmann::json;
namespace text = platform::text;

std::vector<std::string> lowercasedTags(std::vector<std::string> tags) {
    for (auto& tag : tags) tag = text::lowercased(tag);
    return tags;
}

[[noreturn]] void fail(const std::string& key, const std::string& why) {
    throw SnippetCodingError("\"" + key + "\": " + why);
}

const json* present(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string requiredString(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) fail(key, "missing");
    if (!v->is_string()) fail(key, "not a string");
    return v->get<std::string>();
}

platform::Uuid uuidValue(const json& v, const char* key) {
    if (!v.is_string()) fail(key, "not a string");
    auto uuid = platform::Uuid::fromString(v.get<std::string>());
    if (!uuid) fail(key, "not a valid UUID");
    return *uuid;
}

std::optional<platform::Uuid> optionalUuid(const json& object, const char* key) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    return uuidValue(*v, key);
}

json encodeDate(platform::Date date, DateCoding dates) {
    if (dates == DateCoding::iso8601) return date.iso8601();
    return date.secondsSince2001;
}

std::optional<platform::Date> decodeDate(const json& object, const char* key, DateCoding dates) {
    const json* v = present(object, key);
    if (!v) return std::nullopt;
    if (dates == DateCoding::iso8601) {
        if (!v->is_string()) fail(key, "not a string");
        auto date = platform::Date::fromIso8601(v->get<std::string>());
        if (!date) fail(key, "not an ISO 8601 date");
        return *date;
    }
    if (!v->is_number()) fail(key, "not a number");
    return platform::Date{v->get<double>()};
}

}  // namespace

std::string_view rawValue(SnippetVisibility visibility) {
    switch (visibility) {
    case SnippetVisibility::personal: return "personal";
    case SnippetVisibility::team: return "team";
    case SnippetVisibility::editors: return "editors";
    }
    return "personal";
}

std::optional<SnippetVisibility> snippetVisibilityFromRaw(std::string_view raw) {
    if (raw == "personal") return SnippetVisibility::personal;
    if (raw == "team") return SnippetVisibility::team;
    if (raw == "editors") return SnippetVisibility::editors;
    return std::nullopt;
}

SnippetItem::SnippetItem(platform::Uuid id, std::string snippetTitle, std::string snippet,
                         std::vector<std::string> tags, const platform::Clock& clock)
    : id(id),
      snippetTitle(std::move(snippetTitle)),
      snippet(std::move(snippet)),
      tags(lowercasedTags(std::move(tags))),
      createdAt(clock.now()),
      updatedAt(clock.now()) {}

SnippetItem::SnippetItem(platform::Uuid id, std::string snippetTitle, std::string snippet,
                         std::vector<std::string> tags, std::optional<platform::Uuid> teamId,
                         std::optional<platform::Uuid> ownerId, SnippetVisibility visibility, int64_t version,
                         platform::Date createdAt, platform::Date updatedAt, std::optional<platform::Date> deletedAt)
    : id(id),
      snippetTitle(std::move(snippetTitle)),
      snippet(std::move(snippet)),
      tags(lowercasedTags(std::move(tags))),
      teamId(teamId),
      ownerId(ownerId),
      visibility(visibility),
      version(version),
      createdAt(createdAt),
      updatedAt(updatedAt),
      deletedAt(deletedAt) {}

std::string SnippetItem::snippetPreview() const { return text::prefix(snippet, 30); }

json SnippetItem::toJson(DateCoding dates) const {
    json out = json::object();
    out["id"] = id.toString();
    out["snippetTitle"] = snippetTitle;
    out["snippet"] = snippet;
    out["tags"] = tags;
    if (teamId) out["teamId"] = teamId->toString();
    if (ownerId) out["ownerId"] = ownerId->toString();
    if (visibility != SnippetVisibility::personal) out["visibility"] = std::string(rawValue(visibility));
    if (version != 1) out["version"] = version;
    out["createdAt"] = encodeDate(createdAt, dates);
    out["updatedAt"] = encodeDate(updatedAt, dates);
    if (deletedAt) out["deletedAt"] = encodeDate(*deletedAt, dates);
    return out;
}

SnippetItem SnippetItem::fromJson(const json& object, DateCoding dates, const platform::Clock& clock) {
    if (!object.is_object()) throw SnippetCodingError("a snippet must be a JSON object");
    const json* idValue = present(object, "id");
    if (!idValue) fail("id", "missing");
    const platform::Uuid id = uuidValue(*idValue, "id");
    std::string title = requiredString(object, "snippetTitle");
    std::string content = requiredString(object, "snippet");

    std::vector<std::string> tags;
    if (const json* v = present(object, "tags")) {
        if (!v->is_array()) fail("tags", "not an array");
        for (const auto& tag : *v) {
            if (!tag.is_string()) fail("tags", "holds a value that is not a string");
            tags.push_back(tag.get<std::string>());
        }
    }
    SnippetVisibility visibility = SnippetVisibility::personal;
    if (const json* v = present(object, "visibility")) {
        if (!v->is_string()) fail("visibility", "not a string");
        auto parsed = snippetVisibilityFromRaw(v->get<std::string>());
        if (!parsed) fail("visibility", "unknown value \"" + v->get<std::string>() + "\"");
        visibility = *parsed;
    }
    int64_t version = 1;
    if (const json* v = present(object, "version")) {
        if (!v->is_number_integer()) fail("version", "not an integer");
        if (v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
            fail("version", "out of range");
        version = v->get<int64_t>();
    }
    const auto createdAt = decodeDate(object, "createdAt", dates);
    const auto updatedAt = decodeDate(object, "updatedAt", dates);
    const auto deletedAt = decodeDate(object, "deletedAt", dates);

    SnippetItem item(id, std::move(title), std::move(content), {}, optionalUuid(object, "teamId"),
                     optionalUuid(object, "ownerId"), visibility, version, createdAt ? *createdAt : clock.now(),
                     updatedAt ? *updatedAt : clock.now(), deletedAt);
    item.tags = std::move(tags);  // stored tags are kept exactly as they were written
    return item;
}

bool operator==(const SnippetItem& a, const SnippetItem& b) {
    if (a.id != b.id || a.teamId != b.teamId || a.ownerId != b.ownerId || a.visibility != b.visibility ||
        a.version != b.version || a.createdAt != b.createdAt || a.updatedAt != b.updatedAt ||
        a.deletedAt != b.deletedAt || a.tags.size() != b.tags.size())
        return false;
    if (!text::equal(a.snippetTitle, b.snippetTitle) || !text::equal(a.snippet, b.snippet)) return false;
    for (size_t i = 0; i < a.tags.size(); ++i)
        if (!text::equal(a.tags[i], b.tags[i])) return false;
    return true;
}

}  // namespace sablix
