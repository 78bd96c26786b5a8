#include <gtest/gtest.h>

#include "Models/Snippets/SnippetItem.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Models/Snippets/SnippetValidation.h"
#include "platform/MemoryDefaults.h"

using platform::Uuid;
using sablix::SnippetItem;
using sablix::SnippetSettings;
using sablix::SnippetValidationError;
using sablix::SnippetValidationResult;
using Case = SnippetValidationError::Case;

namespace {

class SnippetValidation : public ::testing::Test {
protected:
    SnippetItem item(std::string title, std::string content = "some content") {
        return SnippetItem(Uuid::generate(), std::move(title), std::move(content), {});
    }
    std::vector<SnippetItem> library(std::initializer_list<const char*> titles) {
        std::vector<SnippetItem> items;
        for (const char* t : titles) items.push_back(item(t));
        return items;
    }
    SnippetValidationResult check(const SnippetItem& snippet, const std::vector<SnippetItem>& existing = {}) {
        return snippet.validate(existing, settings);
    }
    static std::vector<Case> cases(const SnippetValidationResult& r) {
        std::vector<Case> out;
        for (const auto& e : r.errors) out.push_back(e.kind());
        return out;
    }
    static std::vector<std::string> messages(const SnippetValidationResult& r) {
        std::vector<std::string> out;
        for (const auto& e : r.errors) out.push_back(e.localizedDescription());
        return out;
    }

    platform::MemoryDefaults defaults;
    SnippetSettings settings{defaults};
};

const std::string kEmDash = "\xE2\x80\x94";
const std::string kThumbsUp = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // with skin tone
const std::string kFamily = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // joined

}  // namespace

TEST_F(SnippetValidation, TitleIsJudgedTrimmedButKeptAsGiven) {
    const SnippetItem snippet = item(" addr \n", "\t123 Main Street ");
    const auto result = check(snippet, library({"sig"}));
    EXPECT_TRUE(result.isValid);
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(snippet.snippetTitle, " addr \n");
    EXPECT_EQ(check(item("ok-title")), SnippetValidationResult::valid());
}

TEST_F(SnippetValidation, EmptyTitleYieldsOnlyEmptyTitleButStillCollides) {
    auto result = check(item("   ", ";"), library({"address", "ab"}));
    EXPECT_EQ(cases(result), std::vector<Case>{Case::emptyTitle});
    EXPECT_EQ(messages(result), std::vector<std::string>{"Snippet title cannot be empty"});

    result = check(item("", " \n "), library({""}));
    EXPECT_EQ(cases(result), (std::vector<Case>{Case::emptyTitle, Case::emptyContent, Case::duplicateTitle}));
    EXPECT_EQ(result.errors[1].localizedDescription(), "Snippet content cannot be empty");
    EXPECT_FALSE(result.isValid);
}

TEST_F(SnippetValidation, LengthCountsUserPerceivedCharacters) {
    auto result = check(item("a"));
    EXPECT_EQ(result.errors, std::vector{SnippetValidationError::titleTooShort(2)});
    EXPECT_EQ(messages(result), std::vector<std::string>{"Title must be at least 2 characters " + kEmDash +
                                                         " short titles trigger too easily"});
    EXPECT_EQ(result.warnings, std::vector<std::string>{"'a' is a common word and may trigger accidentally."});

    EXPECT_TRUE(check(item(std::string(20, 'x'))).isValid);
    result = check(item(std::string(21, 'x')));
    EXPECT_EQ(messages(result), std::vector<std::string>{"Snippet title cannot exceed 20 characters"});

    // Emoji sequences are one character each, whatever their bytes.
    std::string twenty;
    for (int i = 0; i < 10; ++i) twenty += kThumbsUp + kFamily;
    EXPECT_TRUE(check(item(twenty)).isValid);
    EXPECT_EQ(cases(check(item(twenty + kFamily))), std::vector<Case>{Case::titleTooLong});
    EXPECT_EQ(cases(check(item(kThumbsUp))), std::vector<Case>{Case::titleTooShort});
    EXPECT_TRUE(check(item(kFamily + kThumbsUp)).isValid);
    EXPECT_EQ(cases(check(item("e\xCC\x81"))), std::vector<Case>{Case::titleTooShort});

    // The maximum is read from the settings at the moment of validation.
    settings.setMaxTitleLength(10);
    EXPECT_EQ(messages(check(item(std::string(11, 'x')))),
              std::vector<std::string>{"Snippet title cannot exceed 10 characters"});
}

TEST_F(SnippetValidation, ErrorsComeInTheirFixedOrder) {
    settings.setMaxTitleLength(10);
    const auto result = check(item(";abcdefghij\rk", "go ;;ABCDEFGHIJ\rK"), library({";abcdefghij\rk"}));
    EXPECT_EQ(cases(result),
              (std::vector<Case>{Case::titleContainsInvalidCharacters, Case::titleTooLong, Case::titleContainsNewlines,
                                 Case::duplicateTitle, Case::infiniteLoopDetected}));
    EXPECT_EQ(result.errors[0].localizedDescription(), "Snippet title cannot start with a semicolon");
    EXPECT_EQ(result.errors[2].localizedDescription(), "Title cannot contain line breaks");
    EXPECT_EQ(result.errors[3], SnippetValidationError::duplicateTitle(";abcdefghij\rk"));
    EXPECT_EQ(result.errors[3].localizedDescription(), "This title is already in use");

    EXPECT_EQ(cases(check(item("addr", "x ;addr"), library({"address"}))),
              (std::vector<Case>{Case::infiniteLoopDetected, Case::prefixConflict}));
    // A semicolon followed by a combining mark is not a semicolon character.
    EXPECT_TRUE(check(item(";\xCC\x81x")).isValid);
}

TEST_F(SnippetValidation, OwnStoredCopyNeverCollides) {
    const SnippetItem stored = item("addr");
    SnippetItem edited = stored;
    edited.snippet = "new content";
    EXPECT_TRUE(check(edited, {stored}).isValid);
    edited.snippetTitle = "address";  // would conflict with its own old title
    EXPECT_TRUE(check(edited, {stored, stored}).isValid);
}

TEST_F(SnippetValidation, DuplicatesCompareLowerCasedAndCanonically) {
    auto result = check(item("Addr"), library({"address", "addr"}));
    EXPECT_EQ(cases(result), std::vector<Case>{Case::duplicateTitle});  // and therefore no prefix conflict
    EXPECT_EQ(result.errors[0].existingTitle(), "Addr");

    EXPECT_EQ(cases(check(item("e\xCC\x81tude"), library({"\xC3\x89TUDE"}))), std::vector<Case>{Case::duplicateTitle});
    EXPECT_EQ(cases(check(item("\xCE\x91\xCE\xA3"), library({"\xCE\xB1\xCF\x82"}))),  // ΑΣ and ας
              std::vector<Case>{Case::duplicateTitle});
    // Stored titles are compared as stored, without trimming.
    EXPECT_TRUE(check(item("addr"), library({" addr"})).isValid);
    EXPECT_EQ(cases(check(item("addr"), library({"addr "}))), std::vector<Case>{Case::prefixConflict});
}

TEST_F(SnippetValidation, PrefixConflictsAndSuggestions) {
    auto message = [&](const char* title, std::initializer_list<const char*> titles) {
        const auto r = check(item(title), library(titles));
        return r.errors.size() == 1 && r.errors[0].kind() == Case::prefixConflict ? r.errors[0].localizedDescription()
                                                                                  : std::string("(none)");
    };
    EXPECT_EQ(message("add", {"address"}), "'add' would trigger before 'address'. Try: add-, add1, my-add");
    EXPECT_EQ(message("address", {"add"}), "'add' would trigger before 'address'. Try: my-address");
    EXPECT_EQ(message("ab", {"abc"}), "(none)");
    EXPECT_EQ(message("abc", {"ab"}), "(none)");
    EXPECT_EQ(message("Add", {"ADDRESS"}), "'Add' would trigger before 'ADDRESS'. Try: Add-, Add1, my-Add");
    // Short titles reject candidates they begin, taken titles reject themselves.
    EXPECT_EQ(message("add", {"address", "my"}), "'add' would trigger before 'address'. Try: add-, add1, add-txt");
    EXPECT_EQ(message("add", {"address", "ADD1"}), "'add' would trigger before 'address'. Try: add-, my-add, add-txt");
    EXPECT_EQ(message("address", {"add", "my"}), "'add' would trigger before 'address'.");

    // The first conflicting snippet in list order is named, as stored.
    const auto r = check(item("sign"), library({"ab", "signature", "sig"}));
    ASSERT_EQ(cases(r), std::vector<Case>{Case::prefixConflict});
    EXPECT_EQ(r.errors[0], SnippetValidationError::prefixConflict("sign", "signature", {"my-sign"}));

    // At equal length the other snippet's title is named first.
    EXPECT_EQ(SnippetValidationError::prefixConflict("abcd", "abce", {}).localizedDescription(),
              "'abce' would trigger before 'abcd'.");
    // Canonically equal beginnings conflict.
    EXPECT_EQ(cases(check(item("cafe\xCC\x81s"), library({"Caf\xC3\xA9"}))), std::vector<Case>{Case::prefixConflict});
}

TEST_F(SnippetValidation, ContentThatHoldsItsOwnTrigger) {
    auto result = check(item("sig", "see ;SIG here"));
    EXPECT_EQ(messages(result), std::vector<std::string>{"Content can't include ';sig' " + kEmDash +
                                                         " this would trigger the snippet repeatedly"});
    EXPECT_EQ(result.errors[0].trigger(), ";sig");
    EXPECT_EQ(check(item("Sig", "see ;sig here")).errors[0].trigger(), ";Sig");
    EXPECT_TRUE(check(item("sig", "sig; ; sig")).isValid);
    EXPECT_EQ(cases(check(item("caf\xC3\xA9", "x ;CAFE\xCC\x81 y"))), std::vector<Case>{Case::infiniteLoopDetected});
}

TEST_F(SnippetValidation, WarningsNeverInvalidateAndKeepTheirOrder) {
    std::string content = "a {cursor} b {cursor} ";
    content += std::string(10001 - content.size(), 'x');  // 10001 characters once trimmed
    auto result = check(item("my sig", "  " + content + "\n\n"));
    EXPECT_TRUE(result.isValid);
    EXPECT_EQ(result.warnings.size(), 2u);  // spaces are removed automatically, so no spaces warning

    settings.setAutoRemoveWhitespace(false);
    result = check(item("my sig", "  " + content + "\n\n"));
    EXPECT_TRUE(result.isValid);
    EXPECT_EQ(result.warnings,
              (std::vector<std::string>{
                  "Consider using dashes instead of spaces.",
                  "Multiple {cursor} tags found. Only the first one will be used for cursor positioning.",
                  "Very long content (10001 characters) may cause a slight delay when pasting."}));
    EXPECT_TRUE(check(item("my\tsig")).warnings.empty());  // only U+0020 counts

    EXPECT_TRUE(check(item("sig", std::string(10000, 'x') + "\n")).warnings.empty());
    EXPECT_TRUE(check(item("sig", "a {cursor} b")).warnings.empty());
    EXPECT_EQ(check(item("Please")).warnings,
              std::vector<std::string>{"'Please' is a common word and may trigger accidentally."});
}

TEST(CommonWords, HoldsTheFiftySevenWords) {
    const auto& words = sablix::commonWords();
    EXPECT_EQ(words.size(), 57u);
    for (const char* w : {"a", "the", "should", "else", "under", "ok", "hey", "thanks", "please"})
        EXPECT_TRUE(words.count(w)) << w;
    EXPECT_FALSE(words.count("addr"));
}
