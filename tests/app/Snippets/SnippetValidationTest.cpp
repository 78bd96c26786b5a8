#include <gtest/gtest.h>

#include "Snippets/SnippetItem.h"
#include "Snippets/SnippetSettings.h"
#include "Snippets/SnippetValidation.h"
#include "platform/MemoryDefaults.h"

using platform::Uuid;
using sablix::SnippetItem;
using sablix::SnippetSettings;
using sablix::SnippetValidationError;
using sablix::SnippetValidationResult;
using Texts = std::vector<std::string>;

namespace {

const std::string kEmDash = "\xE2\x80\x94";
const std::string kThumbsUp = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // with skin tone
const std::string kFamily = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // joined

const std::string kEmpty = "Snippet title cannot be empty";
const std::string kTooShort = "Title must be at least 2 characters " + kEmDash + " short titles trigger too easily";
const std::string kDuplicate = "This title is already in use";
std::string tooLong(int max) { return "Snippet title cannot exceed " + std::to_string(max) + " characters"; }
std::string loop(const std::string& trigger) {
    return "Content can't include '" + trigger + "' " + kEmDash + " this would trigger the snippet repeatedly";
}

class SnippetValidation : public ::testing::Test {
protected:
    SnippetItem item(std::string title, std::string content = "some content") const {
        return SnippetItem(Uuid::generate(), std::move(title), std::move(content), {}, clock);
    }
    SnippetValidationResult check(const std::string& title, const std::string& content, const Texts& library = {}) {
        std::vector<SnippetItem> existing;
        for (const auto& t : library) existing.push_back(item(t));
        return item(title, content).validate(existing, settings);
    }
    static Texts messages(const SnippetValidationResult& r) {
        Texts out;
        for (const auto& e : r.errors) out.push_back(e.localizedDescription());
        EXPECT_EQ(r.isValid, out.empty());
        return out;
    }

    platform::FakeClock clock;
    platform::MemoryDefaults defaults;
    SnippetSettings settings{defaults};
};

}  // namespace

TEST_F(SnippetValidation, ErrorsAndTheirOrder) {
    struct Case {
        std::string title, content;
        Texts library, errors;
    };
    std::string twenty;  // emoji sequences are one character each, whatever their bytes
    for (int i = 0; i < 10; ++i) twenty += kThumbsUp + kFamily;
    const std::vector<Case> cases = {
        // The title is judged trimmed.
        {" addr \n", "\t123 Main Street ", {"sig"}, {}},
        {"   ", ";", {"address", "ab"}, {kEmpty}},
        {"", " \n ", {""}, {kEmpty, "Snippet content cannot be empty", kDuplicate}},
        {"a", "x", {}, {kTooShort}},
        {kThumbsUp, "x", {}, {kTooShort}},
        {"e\xCC\x81", "x", {}, {kTooShort}},
        {std::string(20, 'x'), "x", {}, {}},
        {std::string(21, 'x'), "x", {}, {tooLong(20)}},
        {twenty, "x", {}, {}},
        {twenty + kFamily, "x", {}, {tooLong(20)}},
        {kFamily + kThumbsUp, "x", {}, {}},
        // A semicolon followed by a combining mark is not a semicolon character.
        {";\xCC\x81x", "x", {}, {}},
        {"addr",
         "x ;addr",
         {"address"},
         {loop(";addr"), "'addr' would trigger before 'address'. Try: addr-, addr1, my-addr"}},
        // Duplicates compare lower-cased and canonically, stored titles as stored.
        {"Addr", "x", {"address", "addr"}, {kDuplicate}},
        {"e\xCC\x81tude", "x", {"\xC3\x89TUDE"}, {kDuplicate}},
        {"\xC3\xA9tude", "x", {"E\xCC\x81TUDE"}, {kDuplicate}},
        {"\xCE\x91\xCE\xA3", "x", {"\xCE\xB1\xCF\x82"}, {kDuplicate}},  // ΑΣ and ας
        {"addr", "x", {" addr"}, {}},
        {"addr", "x", {"addr "}, {"'addr' would trigger before 'addr '. Try: addr-, addr1, my-addr"}},
        // Content that holds its own trigger.
        {"sig", "see ;SIG here", {}, {loop(";sig")}},
        {"Sig", "see ;sig here", {}, {loop(";Sig")}},
        {"sig", "sig; ; sig", {}, {}},
        {"caf\xC3\xA9", "x ;CAFE\xCC\x81 y", {}, {loop(";caf\xC3\xA9")}},
        // Prefix conflicts name the first conflicting snippet as stored, with suggestions that
        // conflict with nothing.
        {"add", "x", {"address"}, {"'add' would trigger before 'address'. Try: add-, add1, my-add"}},
        {"address", "x", {"add"}, {"'add' would trigger before 'address'. Try: my-address"}},
        {"Add", "x", {"ADDRESS"}, {"'Add' would trigger before 'ADDRESS'. Try: Add-, Add1, my-Add"}},
        {"add", "x", {"address", "my"}, {"'add' would trigger before 'address'. Try: add-, add1, add-txt"}},
        {"add", "x", {"address", "ADD1"}, {"'add' would trigger before 'address'. Try: add-, my-add, add-txt"}},
        {"address", "x", {"add", "my"}, {"'add' would trigger before 'address'."}},
        {"sign", "x", {"ab", "signature", "sig"}, {"'sign' would trigger before 'signature'. Try: my-sign"}},
        {"ab", "x", {"abc"}, {}},
        {"abc", "x", {"ab"}, {}},
        {"cafe\xCC\x81s",
         "x",
         {"Caf\xC3\xA9"},
         {"'Caf\xC3\xA9' would trigger before 'cafe\xCC\x81s'. Try: my-cafe\xCC\x81s"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("title '" + c.title + "', content '" + c.content + "'");
        EXPECT_EQ(messages(check(c.title, c.content, c.library)), c.errors);
    }

    // The maximum is read from the settings at the moment of validation.
    settings.setMaxTitleLength(10);
    EXPECT_EQ(messages(check(";abcdefghij\rk", "go ;;ABCDEFGHIJ\rK", {";abcdefghij\rk"})),
              (Texts{"Snippet title cannot start with a semicolon", tooLong(10), "Title cannot contain line breaks",
                     kDuplicate, loop(";;abcdefghij\rk")}));
    // At equal length the other snippet's title is named first.
    EXPECT_EQ(SnippetValidationError::prefixConflict("abcd", "abce", {}).localizedDescription(),
              "'abce' would trigger before 'abcd'.");
}

TEST_F(SnippetValidation, OwnStoredCopyNeverCollides) {
    const SnippetItem stored = item("addr");
    SnippetItem edited = stored;
    edited.snippet = "new content";
    EXPECT_TRUE(edited.validate({stored}, settings).isValid);
    edited.snippetTitle = "address";  // would conflict with its own old title
    EXPECT_TRUE(edited.validate({stored, stored}, settings).isValid);
}

TEST_F(SnippetValidation, WarningsNeverInvalidateAndKeepTheirOrder) {
    std::string content = "a {cursor} b {cursor} ";
    content = "  " + content + std::string(10001 - content.size(), 'x') + "\n\n";  // 10001 characters once trimmed
    const std::string spaces = "Consider using dashes instead of spaces.";
    const std::string cursors = "Multiple {cursor} tags found. Only the first one will be used for cursor positioning.";
    const std::string slow = "Very long content (10001 characters) may cause a slight delay when pasting.";
    struct Case {
        std::string title, content;
        bool autoRemoveWhitespace;
        Texts warnings;
    };
    const std::vector<Case> cases = {
        {"my sig", content, true, {cursors, slow}},  // spaces are removed automatically
        {"my sig", content, false, {spaces, cursors, slow}},
        {"my\tsig", "x", false, {}},  // only U+0020 counts
        {"sig", std::string(10000, 'x') + "\n", true, {}},
        {"sig", "a {cursor} b", true, {}},
        {"a", "x", true, {"'a' is a common word and may trigger accidentally."}},
        {"Please", "x", true, {"'Please' is a common word and may trigger accidentally."}},
        {"addr", "x", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        settings.setAutoRemoveWhitespace(c.autoRemoveWhitespace);
        const auto result = item(c.title, c.content).validate({}, settings);
        EXPECT_EQ(result.warnings, c.warnings);
        EXPECT_EQ(result.isValid, c.title != "a");
    }
    EXPECT_EQ(sablix::commonWords().size(), 57u);
}
