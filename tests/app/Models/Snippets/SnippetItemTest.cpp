#include <gtest/gtest.h>

#include "Models/Snippets/SnippetItem.h"

using nlohmann::json;
using platform::Date;
using platform::FakeClock;
using platform::Uuid;
using sablix::DateCoding;
using sablix::SnippetCodingError;
using sablix::SnippetItem;
using sablix::SnippetVisibility;

namespace {

const char* const kId = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";
const char* const kTeam = "9B2F1A4E-1D3C-4E5F-8A6B-7C8D9E0F1A2B";

json minimalObject() { return json{{"id", kId}, {"snippetTitle", "addr"}, {"snippet", "123 Main Street"}}; }

}  // namespace

TEST(SnippetItemCoding, MinimalObjectFillsTheDefaults) {
    FakeClock clock(Date{700000000.0});
    auto object = minimalObject();
    object["id"] = "7c9e6679-7425-40de-944b-e07fc1f90ae7";  // either case on input
    const SnippetItem item = SnippetItem::fromJson(object, DateCoding::secondsSince2001, clock);
    EXPECT_EQ(item.id.toString(), kId);
    EXPECT_TRUE(item.tags.empty());
    EXPECT_EQ(item.visibility, SnippetVisibility::personal);
    EXPECT_EQ(item.version, 1);
    EXPECT_EQ(item.createdAt, clock.now());
    EXPECT_EQ(item.updatedAt, clock.now());
    EXPECT_FALSE(item.teamId || item.ownerId || item.deletedAt);
    EXPECT_TRUE(item.isPersonal());

    object["visibility"] = nullptr;
    object["tags"] = nullptr;
    EXPECT_EQ(SnippetItem::fromJson(object, DateCoding::secondsSince2001, clock).visibility,
              SnippetVisibility::personal);
}

TEST(SnippetItemCoding, EncodingLeavesOutDefaultsAndAbsentValues) {
    const SnippetItem personal(Uuid::generate(), "addr", "x", {}, FakeClock());
    const json p = personal.toJson();
    EXPECT_TRUE(p.contains("tags") && p["tags"].is_array());
    for (const char* absent : {"visibility", "version", "teamId", "ownerId", "deletedAt"})
        EXPECT_FALSE(p.contains(absent)) << absent;
    EXPECT_TRUE(p["createdAt"].is_number() && p["updatedAt"].is_number());

    const SnippetItem team(*Uuid::fromString(kId), "sig", "Best", {"Mail"}, Uuid::fromString(kTeam),
                           Uuid::fromString(kTeam), SnippetVisibility::team, 3, Date{1.5}, Date{2.25}, Date{3.0});
    const json t = team.toJson();
    EXPECT_EQ(t["visibility"], "team");
    EXPECT_EQ(t["version"], 3);
    EXPECT_TRUE(t["version"].is_number_integer());
    EXPECT_EQ(t["id"], kId);
    EXPECT_EQ(t["teamId"], kTeam);
    EXPECT_EQ(t["tags"], json::array({"mail"}));
    EXPECT_EQ(t["createdAt"], 1.5);
    EXPECT_EQ(t["deletedAt"], 3.0);
    EXPECT_EQ(SnippetItem::fromJson(t), team);
    EXPECT_EQ(SnippetItem::fromJson(team.toJson(DateCoding::iso8601), DateCoding::iso8601).teamId, team.teamId);
}

TEST(SnippetItemCoding, AnyBadValueFailsTheWholeRecord) {
    const std::vector<std::pair<const char*, json>> bad = {
        {"visibility", "admin"}, {"id", "not-a-uuid"},      {"id", nullptr},   {"snippet", 5},
        {"tags", {"a", 1}},      {"version", "2"},          {"version", 1.5},  {"teamId", "zz"},
        {"createdAt", "today"},  {"snippetTitle", nullptr}, {"version", true}, {"version", 9223372036854775808u},
    };
    for (const auto& [key, value] : bad) {
        auto object = minimalObject();
        object[key] = value;
        EXPECT_THROW(SnippetItem::fromJson(object), SnippetCodingError) << key << " = " << value.dump();
    }
    EXPECT_THROW(SnippetItem::fromJson(json::array()), SnippetCodingError);
    EXPECT_THROW(SnippetItem::fromJson(json{{"id", kId}, {"snippet", "x"}}), SnippetCodingError);
}

TEST(SnippetItemCoding, StoredTagsAreKeptButConstructorsLowerCase) {
    auto object = minimalObject();
    object["tags"] = {"Work", "\xCE\x91\xCE\xA3"};
    EXPECT_EQ(SnippetItem::fromJson(object).tags, (std::vector<std::string>{"Work", "\xCE\x91\xCE\xA3"}));
    const SnippetItem made(Uuid::generate(), "addr", "x", {"Work", "\xC3\x89t\xC3\xA9"});
    EXPECT_EQ(made.tags, (std::vector<std::string>{"work", "\xC3\xA9t\xC3\xA9"}));
}

TEST(SnippetItemEquality, EveryFieldCountsAndTextComparesCanonically) {
    const SnippetItem a(*Uuid::fromString(kId), "caf\xC3\xA9", "x", {}, std::nullopt, std::nullopt,
                        SnippetVisibility::personal, 1, Date{10}, Date{20}, std::nullopt);
    SnippetItem b = a;
    b.snippetTitle = "cafe\xCC\x81";  // the same text, decomposed
    EXPECT_EQ(a, b);
    b.updatedAt = Date{20.001};
    EXPECT_NE(a, b);
    b = a;
    b.snippetTitle = "Caf\xC3\xA9";
    EXPECT_NE(a, b);
    b = a;
    b.deletedAt = Date{20};
    EXPECT_NE(a, b);
}
