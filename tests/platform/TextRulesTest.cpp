#include <gtest/gtest.h>

#include "platform/TextRules.h"

namespace text = platform::text;

TEST(TextRules, LengthCountsUserPerceivedCharacters) {
    EXPECT_EQ(text::length(""), 0u);
    EXPECT_EQ(text::length("addr"), 4u);
    EXPECT_EQ(text::length("\r\n"), 1u);
    EXPECT_EQ(text::length("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 1u);  // thumbs up, skin tone
    EXPECT_EQ(text::length("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"), 1u);  // family
    EXPECT_EQ(text::length("e\xCC\x81"), 1u);
    EXPECT_EQ(text::prefix("e\xCC\x81xyz", 2), "e\xCC\x81x");
}

TEST(TextRules, LowercasingIgnoresLocale) {
    EXPECT_EQ(text::lowercased("ADDR"), "addr");
    EXPECT_EQ(text::lowercased("\xCE\x91\xCE\xA3"), "\xCE\xB1\xCF\x82");  // ΑΣ → ας (final sigma, no locale)
    EXPECT_EQ(text::lowercased("I"), "i");                                // never the Turkish dotless i
}

TEST(TextRules, CanonicalEquivalence) {
    EXPECT_TRUE(text::equal("e\xCC\x81", "\xC3\xA9"));
    EXPECT_FALSE(text::equal("e", "\xC3\xA9"));
    EXPECT_TRUE(text::hasPrefix("\xC3\xA9t\xC3\xA9", "e\xCC\x81"));
    EXPECT_FALSE(text::hasPrefix("e\xCC\x81t", "e"));
    EXPECT_TRUE(text::contains("see ;caf\xC3\xA9 here", ";cafe\xCC\x81"));
}

TEST(TextRules, TrimmingRemovesWhiteSpaceAndLineBreaks) {
    EXPECT_EQ(text::trimmed(" \t\n addr \r\n"), "addr");
    EXPECT_EQ(text::trimmed("\xC2\xA0"
                            "a b\xE2\x80\xA8"),
              "a b");  // no-break space, line separator
    EXPECT_EQ(text::trimmed("   "), "");
}

TEST(TextRules, MatchesStartAndEndBetweenCharacters) {
    EXPECT_TRUE(text::contains("go ;six now", ";six"));
    EXPECT_FALSE(text::contains("go ;six\xCC\x81 now", ";six"));  // x with a combining accent is another character
    EXPECT_TRUE(text::contains("go ;six\xCC\x81 ;six", ";six"));  // a later match still counts
    EXPECT_FALSE(text::contains("\xC3\xA9", "\xCC\x81"));
    EXPECT_FALSE(text::contains("a\r\nb", "a\r"));  // CR LF is one character
    EXPECT_FALSE(text::contains("a\r\nb", "\nb"));
    EXPECT_TRUE(text::contains("a\r\nb", "a\r\n"));
    EXPECT_FALSE(text::hasPrefix("ab\r\n", "ab\r"));
    EXPECT_TRUE(text::hasPrefix("ab\r", "ab\r"));
    EXPECT_TRUE(text::hasPrefix("addr", ""));
}
