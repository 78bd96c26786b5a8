#include <gtest/gtest.h>

#include "platform/TextRules.h"

namespace text = platform::text;

TEST(TextRules, LengthLowerCaseAndTrimFollowCharactersNotBytesOrLocale) {
    for (const char* one : {"\r\n", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",  // thumbs up with skin tone
                            "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", "e\xCC\x81"})
        EXPECT_EQ(text::length(one), 1u) << one;
    EXPECT_EQ(text::prefix("e\xCC\x81xyz", 2), "e\xCC\x81x");
    EXPECT_EQ(text::lowercased("\xCE\x91\xCE\xA3 I"), "\xCE\xB1\xCF\x82 i");  // ΑΣ → ας; never the Turkish dotless i
    EXPECT_EQ(text::trimmed(" \t\n\xC2\xA0 a b\xE2\x80\xA8\r\n"), "a b");     // no-break space, line separator
    EXPECT_EQ(text::trimmed("   "), "");
}

// Equal under canonical equivalence, and matches start and end between characters.
TEST(TextRules, ComparisonsAreCanonicalAndOnCharacterBoundaries) {
    EXPECT_TRUE(text::equal("e\xCC\x81", "\xC3\xA9"));
    EXPECT_FALSE(text::equal("e", "\xC3\xA9"));
    EXPECT_TRUE(text::hasPrefix("\xC3\xA9t\xC3\xA9", "e\xCC\x81"));
    EXPECT_FALSE(text::hasPrefix("e\xCC\x81t", "e"));
    EXPECT_FALSE(text::hasPrefix("ab\r\n", "ab\r"));
    EXPECT_TRUE(text::hasPrefix("ab\r", "ab\r"));
    EXPECT_TRUE(text::contains("see ;caf\xC3\xA9 here", ";cafe\xCC\x81"));
    EXPECT_FALSE(text::contains("go ;six\xCC\x81 now", ";six"));  // x with a combining accent is another character
    EXPECT_TRUE(text::contains("go ;six\xCC\x81 ;six", ";six"));  // a later match still counts
    EXPECT_FALSE(text::contains("\xC3\xA9", "\xCC\x81"));
    EXPECT_FALSE(text::contains("a\r\nb", "a\r"));  // CR LF is one character
    EXPECT_FALSE(text::contains("a\r\nb", "\nb"));
}
