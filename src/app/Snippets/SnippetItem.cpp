#include "Snippets/SnippetItem.h"

#include "Snippets/SnippetCoding.h"
#include "platform/EnumTable.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

using nlohmann::json;
namespace text = platform::text;

std::vector<std::string> lowercasedTags(std::vector<std::string> tags) {
    for (auto& tag : tags) tag = text::lowercased(tag);
    return tags;
}

constexpr platform::EnumTable<SnippetVisibility, 3> kVisibilityTable{{
    {SnippetVisibility::personal, "personal"},
    {SnippetVisibility::team, "team"},
    {SnippetVisibility::editors, "editors"},
}};

}  // namespace

std::string_view rawValue(SnippetVisibility visibility) { return kVisibilityTable.raw(visibility); }

std::optional<SnippetVisibility> snippetVisibilityFromRaw(std::string_view raw) { return kVisibilityTable.parse(raw); }

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
    out["createdAt"] = snippetCoding::encodeDate(createdAt, dates);
    out["updatedAt"] = snippetCoding::encodeDate(updatedAt, dates);
    if (deletedAt) out["deletedAt"] = snippetCoding::encodeDate(*deletedAt, dates);
    return out;
}

SnippetItem SnippetItem::fromJson(const json& object, DateCoding dates, const platform::Clock& clock) {
    if (!object.is_object()) throw SnippetCodingError("a snippet must be a JSON object");
    using namespace snippetCoding;
    const platform::Uuid id = requiredUuid(object, "id");
    std::string title = requiredString(object, "snippetTitle");
    std::string content = requiredString(object, "snippet");
    auto tags = optionalStringArray(object, "tags");
    const auto visibility = optionalEnum<SnippetVisibility>(object, "visibility", snippetVisibilityFromRaw);
    const auto version = optionalInteger(object, "version");
    const auto createdAt = optionalDate(object, "createdAt", dates);
    const auto updatedAt = optionalDate(object, "updatedAt", dates);
    const auto deletedAt = optionalDate(object, "deletedAt", dates);

    SnippetItem item(id, std::move(title), std::move(content), {}, optionalUuid(object, "teamId"),
                     optionalUuid(object, "ownerId"), visibility.value_or(SnippetVisibility::personal),
                     version.value_or(1), createdAt ? *createdAt : clock.now(), updatedAt ? *updatedAt : clock.now(),
                     deletedAt);
    if (tags) item.tags = std::move(*tags);  // stored tags are kept exactly as they were written
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
