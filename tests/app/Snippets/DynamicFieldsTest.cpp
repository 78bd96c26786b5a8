#include <chrono>
#include <gtest/gtest.h>

#include "Snippets/DynamicFieldProcessor.h"
#include "support/FakePasteboard.h"
#include "support/MutualNest.h"

using sablix::DynamicFieldContext;
using sablix::DynamicFieldProcessor;
using sablix::SnippetItem;
using Snippets = std::vector<SnippetItem>;

namespace {

const std::string kZwsp = "\u200B";
// Dates the snippets these tests make.
const platform::FakeClock kClock;

SnippetItem snippet(const std::string& title, const std::string& content) {
    return SnippetItem(platform::Uuid::generate(), title, content, {}, kClock);
}

// A context whose clipboard holds the given text and whose dates are fixed.
struct Fixture {
    platform::FakeClock clock{platform::Date::fromUnix(1782505800)};  // 2026-06-26 20:30 UTC
    testsupport::FakePasteboard pasteboard;
    DynamicFieldContext context() { return DynamicFieldContext{clock, "en_US", "America/New_York", &pasteboard}; }
    std::string expand(const std::string& text, const Snippets& snippets = {}) {
        return DynamicFieldProcessor::process(text, snippets, {}, 0, context());
    }
};

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(NestedSnippets, ReferencesExpandOnceAndCyclesStop) {
    const Snippets sig{snippet("sig", "Best, Ann"), snippet("SIG", "shadowed")};
    Snippets chain;
    for (int i = 0; i < 8; ++i)
        chain.push_back(snippet("a" + std::to_string(i), "{snippet:a" + std::to_string(i + 1) + "}"));
    chain.push_back(snippet("a8", "end"));
    const Snippets partial{snippet("a", "pet:b}"), snippet("b", "B")};
    struct Case {
        std::string text;
        Snippets snippets;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // Titles are looked up as written, without regard to case, under canonical equivalence.
        {"{snippet:SIG}", sig, "Best, Ann"},
        {"{snippet: sig}", sig, "{snippet: sig}"},
        {"{snippet:sig} and {snippet:sig}", sig, "Best, Ann and {snippet:sig}"},
        {"{snippet:missing} {snippet:}", sig, "{snippet:missing} {snippet:}"},
        {"Ärger {snippet:sig}", sig, "Ärger Best, Ann"},
        {"{snippet:caf\u00E9}", {snippet("cafe\u0301", "coffee")}, "coffee"},
        // Cycles leave the innermost reference; chains expand whatever their length.
        {"{snippet:a}", {snippet("a", "x{snippet:a}")}, "x{snippet:a}"},
        {"{snippet:a}", {snippet("a", "A{snippet:b}"), snippet("b", "B{snippet:a}")}, "AB{snippet:a}"},
        {"{snippet:a0}", chain, "end"},
        {"{snippet:a0}", testsupport::mutualNest(3, kClock),
         "x0 x1 {snippet:a0}x2 {snippet:a0}x1 {snippet:a0}x2 {snippet:a0}{snippet:a1}x2 {snippet:a0}{snippet:a1}"},
        // An expansion can complete a reference begun before it; a title may hold the start of one.
        {"{snip{snippet:a}", partial, "B"},
        {"{snippet:x{snippet:b}", partial, "{snippet:xB"},
        // Zero-width spaces go only when the nested step runs.
        {"no fields" + kZwsp, {snippet("a", "A")}, "no fields" + kZwsp},
        {"{snippet:a}" + kZwsp, {}, "{snippet:a}" + kZwsp},
        {"{" + kZwsp + "snippet:a}", {snippet("b", "B")}, "{snippet:a}"},
    };
    Fixture f;
    for (const auto& c : cases) EXPECT_EQ(f.expand(c.text, c.snippets), c.expected) << c.text;
}

TEST(NestedSnippets, MutualNestsGiveTheFullResultWhileSmallAndStopAtTheBudget) {
    Fixture f;
    // Ten snippets: 638 expansions and 63,075 characters, still inside the budget.
    const std::string ten = f.expand("{snippet:a0}", testsupport::mutualNest(10, kClock));
    EXPECT_EQ(ten.size(), 63075u);
    EXPECT_EQ(occurrences(ten, "{snippet:"), 5097u);
    const size_t perMarker[] = {1, 2, 4, 8, 16, 31, 57, 99, 163, 256};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(occurrences(ten, "x" + std::to_string(i) + " "), perMarker[i]) << i;

    const auto started = std::chrono::steady_clock::now();
    const std::string out = f.expand("{snippet:a0}", testsupport::mutualNest(14, kClock));
    // Not a speed assertion (see bench/), only a guard against the unbounded blow-up that took
    // minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_LE(out.size(), DynamicFieldProcessor::kMaxExpandedBytes);
    EXPECT_EQ(out.rfind("x0 x1 {snippet:a0}x2 ", 0), 0u);
    for (int i = 0; i < 14; ++i) EXPECT_NE(out.find("x" + std::to_string(i) + " "), std::string::npos) << i;
    EXPECT_EQ(out.find(kZwsp), std::string::npos);

    // Output that would pass the size limit is not inserted; the references stay as written.
    Snippets large;
    for (char c : {'a', 'b', 'c', 'd'}) large.push_back(snippet(std::string("big") + c, std::string(100 * 1024, c)));
    EXPECT_EQ(f.expand("{snippet:biga}{snippet:bigb}{snippet:bigc}{snippet:bigd}", large),
              std::string(100 * 1024, 'a') + std::string(100 * 1024, 'b') + "{snippet:bigc}{snippet:bigd}");
}

TEST(ClipboardField, InsertsThePlainTextReadOnceAndOnlyWhenUsed) {
    Fixture f;
    f.pasteboard.setString("c");
    f.expand("{date} {snippet:a}", {snippet("a", "{snippet:b}{time}"), snippet("b", "{day}")});
    EXPECT_EQ(f.pasteboard.readCount(), 0);
    EXPECT_EQ(f.expand("{clipboard}{snippet:a}", {snippet("a", "{clipboard}{snippet:b}"), snippet("b", "{clipboard}")}),
              "ccc");
    EXPECT_EQ(f.pasteboard.readCount(), 1);

    // Expanded last: from inside a nested snippet the text reaches the outer call, which expands it.
    f.pasteboard.setString("copied {day}");
    EXPECT_EQ(f.expand("[{clipboard}]"), "[copied {day}]");
    EXPECT_EQ(f.expand("{snippet:c}", {snippet("c", "<{clipboard}>")}), "<copied Friday>");
    f.pasteboard.clear();
    EXPECT_EQ(f.expand("[{clipboard}]"), "[]");
    f.pasteboard.setString("c");
    f.pasteboard.setUnreadable(true);
    EXPECT_EQ(f.expand("[{clipboard}]"), "[]");
}

TEST(FillFields, NamesAreTrimmedOfSpacesAndValuesGoInUnchanged) {
    using V = std::vector<std::string>;
    EXPECT_EQ(DynamicFieldProcessor::extractFillFields("{fill:Name} {fill: Name } {fill:name} {fill:  }"),
              (V{"Name", "name"}));
    EXPECT_EQ(DynamicFieldProcessor::extractFillFields("{fill:\tA\u00A0\u3000} {fill:\nB} {fill:}"), (V{"A", "\nB"}));
    EXPECT_EQ(DynamicFieldProcessor::extractFillFields("{fill:a{fill:b}"), (V{"a{fill:b"}));
    EXPECT_TRUE(DynamicFieldProcessor::hasFillFields("x {fill: } y"));
    EXPECT_FALSE(DynamicFieldProcessor::hasFillFields("{fill:}"));

    using M = std::map<std::string, std::string>;
    EXPECT_EQ(DynamicFieldProcessor::applyFillValues("{fill:A}{fill:B}", M{{"A", "1"}}), "1{fill:B}");
    EXPECT_EQ(DynamicFieldProcessor::applyFillValues("{fill: A } and {fill:A}", M{{"A", " $1 \\n "}}),
              " $1 \\n  and  $1 \\n ");
    EXPECT_EQ(DynamicFieldProcessor::applyFillValues("{fill:A}", M{{"A", "{fill:A}"}}), "{fill:A}");

    // Filled values go through the other fields, but fill fields of nested snippets stay.
    Fixture f;
    EXPECT_EQ(f.expand(DynamicFieldProcessor::applyFillValues("{fill:V} {snippet:inner}", {{"V", "{day}"}}),
                       {snippet("inner", "[{fill:Other}]")}),
              "Friday [{fill:Other}]");
}

TEST(CursorStep, TheOffsetCountsCharactersAfterTheFirstMark) {
    struct Case {
        std::string text;
        Snippets snippets;
        std::string expected;
        std::optional<size_t> offset;
    };
    const std::vector<Case> cases = {
        {"Hi {cursor}, there", {}, "Hi , there", 7},
        {"end{cursor}", {}, "end", 0},
        {"none", {}, "none", std::nullopt},
        {"a{cursor}b{cursor}c", {}, "abc", 2},
        {"{cursor}👍🏽 e\u0301👨‍👩‍👧", {}, "👍🏽 e\u0301👨‍👩‍👧", 4},
        {"<{snippet:s}>", {snippet("s", "x{cursor}yz")}, "<xyz>", 3},
        {"{cursor}{Cursor}", {}, "{Cursor}", 8},
    };
    Fixture f;
    for (const auto& c : cases) {
        const auto result = DynamicFieldProcessor::processWithCursor(c.text, c.snippets, f.context());
        EXPECT_EQ(result.text, c.expected) << c.text;
        EXPECT_EQ(result.cursorOffset, c.offset) << c.text;
    }
}
