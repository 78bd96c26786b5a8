#include <gtest/gtest.h>

#include "Expansion/KeyBuffer.h"
#include "Expansion/TriggerCache.h"
#include "platform/Clock.h"
#include "platform/TextRules.h"

using sablix::KeyBuffer;
using sablix::SnippetItem;
using sablix::TriggerCache;

namespace {

// Dates the snippets these tests make.
const platform::FakeClock kClock;

SnippetItem item(const std::string& title, const std::string& content = "content") {
    return SnippetItem(platform::Uuid::generate(), title, content, {}, kClock);
}

std::string typeInto(KeyBuffer& buffer, const std::string& text) {
    for (char c : text) buffer.append(std::string(1, c));
    return buffer.text();
}

}  // namespace

TEST(KeyBufferTest, SemicolonRestartsAndLongRunsAreCut) {
    const std::string sixty(60, 'a');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"hello;si", ";si"},
        {";sig;x", ";x"},
        {sixty, std::string(50, 'a')},  // without ";" only the last 50 stay
        {";" + sixty, ";" + sixty},     // after ";" it may still become a trigger
    };
    for (const auto& [typed, kept] : cases) {
        KeyBuffer buffer;
        EXPECT_EQ(typeInto(buffer, typed), kept) << typed;
    }

    // ...but not without bound, and a new ";" still starts a trigger.
    KeyBuffer buffer;
    typeInto(buffer, ";" + std::string(5000, 'x'));
    EXPECT_LE(platform::text::length(buffer.text()), KeyBuffer::maxTriggerBufferLength);
    EXPECT_EQ(typeInto(buffer, ";sig"), ";sig");
}

TEST(KeyBufferTest, DeleteRemovesOneWholeCharacter) {
    KeyBuffer buffer;
    typeInto(buffer, ";a");
    buffer.append("\xF0\x9F\x91\x8D");  // an emoji of four bytes
    buffer.removeLast();
    EXPECT_EQ(buffer.text(), ";a");
    for (int i = 0; i < 3; ++i) buffer.removeLast();  // one more than there is
    EXPECT_EQ(buffer.text(), "");
}

// Only a trigger that ends the buffer matches: erasing one inside it would eat the wrong text.
TEST(TriggerCacheTest, OnlyTriggerThatEndsBufferMatches) {
    // The first of equal titles wins, and a snippet without a title has no trigger.
    const TriggerCache cache({item("sig", "sig"), item("SIG", "second"), item("", "untitled"),
                              item("signature", "signature"), item("addr", "addr"), item("a;b", "semicolon"),
                              item("Ünï", "unicode"), item("b", "plain b")});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {";sig", "sig"},
        {";sigx", ""},  // the shorter trigger is complete first, so the longer one is never typed
        {";signature", "signature"},
        {"sig", ""},
        {";addr ", ""},
        {"", ""},
        {";", ""},
        // ";a;b" arises only from pasted or composed text; the full trigger then wins.
        {";a;b", "semicolon"},
        {"x;b", "plain b"},
        {platform::text::lowercased(";ÜNÏ"), "unicode"},
    };
    for (const auto& [buffer, content] : cases) {
        const auto match = cache.match(buffer);
        EXPECT_EQ(match ? match->snippet.snippet : "", content) << buffer;
    }
}
