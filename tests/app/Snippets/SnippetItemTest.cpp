// What the stored form holds and leaves out is proven against python3 in SnippetControllerTest;
// here, what a record must never get away with.
#include <gtest/gtest.h>

#include "Snippets/SnippetItem.h"
#include "platform/Clock.h"

using nlohmann::json;
using platform::Date;
using platform::Uuid;
using sablix::DateCoding;
using sablix::SnippetCodingError;
using sablix::SnippetItem;
using sablix::SnippetVisibility;

namespace {

const char* const kId = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";
const platform::FakeClock kClock;

json minimalObject() { return json{{"id", kId}, {"snippetTitle", "addr"}, {"snippet", "123 Main Street"}}; }

}  // namespace

TEST(SnippetItemCoding, AnyBadValueFailsTheWholeRecord) {
    const std::vector<std::pair<const char*, json>> bad = {
        {"visibility", "admin"}, {"id", "not-a-uuid"},      {"id", nullptr},   {"snippet", 5},
        {"tags", {"a", 1}},      {"version", "2"},          {"version", 1.5},  {"teamId", "zz"},
        {"createdAt", "today"},  {"snippetTitle", nullptr}, {"version", true}, {"version", 9223372036854775808u},
    };
    for (const auto& [key, value] : bad) {
        auto object = minimalObject();
        object[key] = value;
        EXPECT_THROW(SnippetItem::fromJson(object, DateCoding::secondsSince2001, kClock), SnippetCodingError)
            << key << " = " << value.dump();
    }
    EXPECT_THROW(SnippetItem::fromJson(json::array(), DateCoding::secondsSince2001, kClock), SnippetCodingError);
    EXPECT_THROW(SnippetItem::fromJson(json{{"id", kId}, {"snippet", "x"}}, DateCoding::secondsSince2001, kClock),
                 SnippetCodingError);
}

TEST(SnippetItemCoding, StoredTagsAreKeptButConstructorsLowerCase) {
    auto object = minimalObject();
    object["tags"] = {"Work", "\xCE\x91\xCE\xA3"};
    EXPECT_EQ(SnippetItem::fromJson(object, DateCoding::secondsSince2001, kClock).tags,
              (std::vector<std::string>{"Work", "\xCE\x91\xCE\xA3"}));
    const SnippetItem made(Uuid::generate(), "addr", "x", {"Work", "\xC3\x89t\xC3\xA9"}, kClock);
    EXPECT_EQ(made.tags, (std::vector<std::string>{"work", "\xC3\xA9t\xC3\xA9"}));
}

TEST(SnippetItemEquality, EveryFieldCountsAndTextComparesCanonically) {
    const SnippetItem a(*Uuid::fromString(kId), "caf\xC3\xA9", "x", {}, std::nullopt, std::nullopt,
                        SnippetVisibility::personal, 1, Date{10}, Date{20}, std::nullopt);
    SnippetItem decomposed = a, later = a, upper = a, deleted = a;
    decomposed.snippetTitle = "cafe\xCC\x81";
    later.updatedAt = Date{20.001};
    upper.snippetTitle = "Caf\xC3\xA9";
    deleted.deletedAt = Date{20};
    EXPECT_EQ(a, decomposed);
    for (const auto& other : {later, upper, deleted}) EXPECT_NE(a, other);
}
