#include <gtest/gtest.h>

#include "platform/Utf8.h"

namespace utf8 = platform::utf8;

// What is not well-formed must never pass as UTF-8: the stores would write it into JSON they
// cannot read back, and the clipboard would hand it on as text.
TEST(Utf8Test, OnlyWellFormedSequencesDecode) {
    for (const std::string good :
         {"", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF",
          "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "caf\xC3\xA9 \xF0\x9F\x91\x8B"})
        EXPECT_TRUE(utf8::isValid(good)) << testing::PrintToString(good);
    for (const std::string bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",  // overlong
                                  "\xED\xA0\x80", "\xED\xBF\xBF",                                      // surrogates
                                  "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",                      // too large
                                  "\xC3", "\xF0\x9F\x91", "\xE2\x82z", "a\xC3"})                       // cut short
        EXPECT_FALSE(utf8::isValid(bad)) << testing::PrintToString(bad);
    EXPECT_EQ(utf8::decode("x\xF4\x8F\xBF\xBF", 1).codePoint, U'\U0010FFFF');
    EXPECT_EQ(utf8::decode("ab", 2).length, 0u);
}

TEST(Utf8Test, ConversionsCountAndMarkWhatTheTargetCannotHold) {
    // A, é, € one unit each, 👋 a surrogate pair, and one per stray byte.
    EXPECT_EQ(utf8::utf16Length("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x91\x8B\xF0\x9F\x91 \x80"), 10u);

    std::string everyLatin1;
    for (int c = 1; c < 256; ++c) everyLatin1 += static_cast<char>(c);
    EXPECT_TRUE(utf8::isValid(utf8::fromLatin1(everyLatin1)));
    EXPECT_EQ(utf8::toLatin1(utf8::fromLatin1(everyLatin1)), everyLatin1);
    // Nothing after a bad byte is eaten.
    EXPECT_EQ(utf8::toLatin1("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x91\x8B \xE2\x82z\xC0\xAF"),
              "Gr\xFC\xDF ? ? ??z??");
}
