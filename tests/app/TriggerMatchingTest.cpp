#include <gtest/gtest.h>

#include "KeyBuffer.h"
#include "TriggerCache.h"
#include "platform/TextRules.h"

using sablix::KeyBuffer;
using sablix::SnippetItem;
using sablix::TriggerCache;

namespace {

SnippetItem item(const std::string& title, const std::string& content = "content") {
    return SnippetItem(platform::Uuid::generate(), title, content, {});
}

SnippetItem teamItem(const std::string& title, const std::string& content = "team content") {
    auto snippet = item(title, content);
    snippet.teamId = platform::Uuid::generate();
    return snippet;
}

std::string typeInto(KeyBuffer& buffer, const std::string& text) {
    for (char c : text) buffer.append(std::string(1, c));
    return buffer.text();
}

}  // namespace

TEST(KeyBufferTest, SemicolonRestartsAndLongRunsAreCut) {
    KeyBuffer buffer;
    EXPECT_EQ(typeInto(buffer, "hello;si"), ";si");
    EXPECT_EQ(typeInto(buffer, "g;x"), ";x");

    // Without ";" only the last 50 characters stay.
    buffer.clear();
    const std::string sixty(60, 'a');
    EXPECT_EQ(typeInto(buffer, sixty), std::string(50, 'a'));

    // After ";" the buffer keeps growing past 50, since the ";" may still start a trigger...
    buffer.clear();
    EXPECT_EQ(typeInto(buffer, ";" + sixty), ";" + sixty);
}

TEST(KeyBufferTest, BufferAfterSemicolonStaysBounded) {
    KeyBuffer buffer;
    buffer.append(";");
    for (int i = 0; i < 5000; ++i) buffer.append("x");
    EXPECT_LE(platform::text::length(buffer.text()), KeyBuffer::maxTriggerBufferLength);
    // ...and a new ";" still starts a trigger normally.
    EXPECT_EQ(typeInto(buffer, ";sig"), ";sig");
}

TEST(KeyBufferTest, DeleteRemovesOneWholeCharacter) {
    KeyBuffer buffer;
    buffer.append(";");
    buffer.append("a");
    buffer.append("\xF0\x9F\x91\x8D");  // an emoji of four bytes
    buffer.removeLast();
    EXPECT_EQ(buffer.text(), ";a");
    buffer.removeLast();
    buffer.removeLast();
    buffer.removeLast();  // nothing left to remove
    EXPECT_EQ(buffer.text(), "");
}

TEST(TriggerCacheTest, PersonalBeforeTeamFirstTitleWinsEmptyTitleSkipped) {
    const auto personalSig = item("Sig", "personal");
    const auto duplicate = item("SIG", "second personal");
    const auto teamSig = teamItem("sig", "team");
    const auto teamOnly = teamItem("Team");
    const auto untitled = item("", "no trigger");

    // The team snippets come first in the source list, yet personal ones lead the cache.
    const TriggerCache cache({teamSig, teamOnly, personalSig, untitled, duplicate});
    ASSERT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.trigger(0), ";sig");
    EXPECT_EQ(cache.snippet(0).snippet, "personal");
    EXPECT_EQ(cache.trigger(1), ";team");

    const auto match = cache.match(";sig");
    ASSERT_TRUE(match);
    EXPECT_EQ(match->snippet.snippet, "personal");
}

TEST(TriggerCacheTest, OnlyTriggerThatEndsBufferMatches) {
    const TriggerCache cache({item("sig"), item("signature"), item("addr")});

    EXPECT_EQ(cache.match(";sig")->trigger, ";sig");
    // The shorter trigger is complete first, so the longer one is never reached by typing.
    EXPECT_FALSE(cache.match(";sigx"));
    EXPECT_EQ(cache.match(";signature")->trigger, ";signature");
    EXPECT_FALSE(cache.match("sig"));
    EXPECT_FALSE(cache.match(";addr "));
    EXPECT_FALSE(cache.match(""));
}

TEST(TriggerCacheTest, TitlesWithSemicolonsAndNonAsciiMatch) {
    const TriggerCache cache({item("a;b", "semicolon"), item("Ünï", "unicode"), item("b", "plain b")});
    // A buffer holding ";a;b" can only arise from pasted or composed text, but when it does the
    // full trigger wins over the shorter one in cache order.
    EXPECT_EQ(cache.match(";a;b")->snippet.snippet, "semicolon");
    EXPECT_EQ(cache.match("x;b")->snippet.snippet, "plain b");
    EXPECT_EQ(cache.match(platform::text::lowercased(";ÜNÏ"))->snippet.snippet, "unicode");
}
