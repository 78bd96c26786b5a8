#include <chrono>
#include <gtest/gtest.h>

#include "support/MutualNest.h"
#include "Models/Snippets/DynamicFieldProcessor.h"
#include "support/FakePasteboard.h"

using sablix::DynamicFieldContext;
using sablix::DynamicFieldProcessor;
using sablix::SnippetItem;

namespace {

const std::string kZwsp = "\u200B";

SnippetItem snippet(const std::string& title, const std::string& content) {
    return SnippetItem(platform::Uuid::generate(), title, content, {});
}

// A context whose clipboard holds the given text and whose dates are fixed.
struct Fixture {
    platform::FakeClock clock{platform::Date::fromUnix(1782505800)};  // 2026-06-26 20:30 UTC
    testsupport::FakePasteboard pasteboard;
    DynamicFieldContext context() { return DynamicFieldContext{&clock, "en_US", "America/New_York", &pasteboard}; }
};

std::string expand(const std::string& text, const std::vector<SnippetItem>& snippets, Fixture& f) {
    return DynamicFieldProcessor::process(text, snippets, {}, 0, f.context());
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(NestedSnippets, TitlesAreLookedUpAsWrittenWithoutRegardToCase) {
    Fixture f;
    const std::vector<SnippetItem> snippets{snippet("sig", "Best, Ann"), snippet("SIG", "shadowed")};
    EXPECT_EQ(expand("{snippet:SIG}", snippets, f), "Best, Ann");
    EXPECT_EQ(expand("{snippet: sig}", snippets, f), "{snippet: sig}");
    EXPECT_EQ(expand("{snippet:sig} and {snippet:sig}", snippets, f), "Best, Ann and {snippet:sig}");
    EXPECT_EQ(expand("{snippet:missing} {snippet:}", snippets, f), "{snippet:missing} {snippet:}");
    EXPECT_EQ(expand("Ärger {snippet:sig}", snippets, f), "Ärger Best, Ann");
    // Precomposed "é" finds the title written with a combining accent.
    EXPECT_EQ(expand("{snippet:caf\u00E9}", {snippet("cafe\u0301", "coffee")}, f), "coffee");
}

TEST(NestedSnippets, CyclesLeaveTheInnermostReferenceAndChainsExpandWhateverTheirLength) {
    Fixture f;
    EXPECT_EQ(expand("{snippet:a}", {snippet("a", "x{snippet:a}")}, f), "x{snippet:a}");
    EXPECT_EQ(expand("{snippet:a}", {snippet("a", "A{snippet:b}"), snippet("b", "B{snippet:a}")}, f), "AB{snippet:a}");

    std::vector<SnippetItem> chain;
    for (int i = 0; i < 8; ++i)
        chain.push_back(snippet("a" + std::to_string(i), "{snippet:a" + std::to_string(i + 1) + "}"));
    chain.push_back(snippet("a8", "end"));
    EXPECT_EQ(expand("{snippet:a0}", chain, f), "end");
}

TEST(NestedSnippets, AnExpansionCanCompleteAReferenceBegunBeforeIt) {
    Fixture f;
    const std::vector<SnippetItem> snippets{snippet("a", "pet:b}"), snippet("b", "B")};
    EXPECT_EQ(expand("{snip{snippet:a}", snippets, f), "B");
    // A title may itself hold the start of another reference.
    EXPECT_EQ(expand("{snippet:x{snippet:b}", snippets, f), "{snippet:xB");
}

TEST(NestedSnippets, ZeroWidthSpacesGoOnlyWhenTheNestedStepRuns) {
    Fixture f;
    const std::string plain = "no fields" + kZwsp;
    EXPECT_EQ(expand(plain, {snippet("a", "A")}, f), plain);
    EXPECT_EQ(expand("{snippet:a}" + kZwsp, {}, f), "{snippet:a}" + kZwsp);
    EXPECT_EQ(expand("{" + kZwsp + "snippet:a}", {snippet("b", "B")}, f), "{snippet:a}");
}

TEST(NestedSnippets, MutualNestsGiveTheFullResultWhileItIsSmall) {
    Fixture f;
    EXPECT_EQ(expand("{snippet:a0}", testsupport::mutualNest(3), f),
              "x0 x1 {snippet:a0}x2 {snippet:a0}x1 {snippet:a0}x2 {snippet:a0}{snippet:a1}x2 {snippet:a0}{snippet:a1}");

    // Ten snippets: 638 expansions and 63,075 characters, still inside the budget.
    const std::string ten = expand("{snippet:a0}", testsupport::mutualNest(10), f);
    EXPECT_EQ(ten.size(), 63075u);
    EXPECT_EQ(occurrences(ten, "{snippet:"), 5097u);
    const size_t perMarker[] = {1, 2, 4, 8, 16, 31, 57, 99, 163, 256};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(occurrences(ten, "x" + std::to_string(i) + " "), perMarker[i]) << i;
}

TEST(NestedSnippets, ALargeMutualNestStopsAtItsBudget) {
    Fixture f;
    const auto started = std::chrono::steady_clock::now();
    const std::string out = expand("{snippet:a0}", testsupport::mutualNest(14), f);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LE(out.size(), DynamicFieldProcessor::kMaxExpandedBytes);
    EXPECT_EQ(out.rfind("x0 x1 {snippet:a0}x2 ", 0), 0u);
    for (int i = 0; i < 14; ++i) EXPECT_NE(out.find("x" + std::to_string(i) + " "), std::string::npos) << i;
    EXPECT_EQ(out.find(kZwsp), std::string::npos);
    // Not a speed assertion (see bench/), only a guard against the unbounded blow-up that took
    // minutes.
    EXPECT_LT(took, std::chrono::seconds(20));

    // Output that would pass the size limit is not inserted; the references stay as written.
    std::vector<SnippetItem> large;
    for (char c : {'a', 'b', 'c', 'd'}) large.push_back(snippet(std::string("big") + c, std::string(100 * 1024, c)));
    const std::string grown = expand("{snippet:biga}{snippet:bigb}{snippet:bigc}{snippet:bigd}", large, f);
    EXPECT_EQ(grown, std::string(100 * 1024, 'a') + std::string(100 * 1024, 'b') + "{snippet:bigc}{snippet:bigd}");
}

TEST(ClipboardField, InsertsThePlainTextLastAndNothingWhenThereIsNone) {
    Fixture f;
    EXPECT_EQ(expand("[{clipboard}]", {}, f), "[]");
    f.pasteboard.setString("copied {day}");
    EXPECT_EQ(expand("[{clipboard}]", {}, f), "[copied {day}]");
    // From inside a nested snippet the clipboard text reaches the outer call, which expands it.
    EXPECT_EQ(expand("{snippet:c}", {snippet("c", "<{clipboard}>")}, f), "<copied Friday>");

    f.pasteboard.setUnreadable(true);
    EXPECT_EQ(expand("[{clipboard}]", {}, f), "[]");
}

TEST(ClipboardField, IsReadOnceForAWholeExpansionAndOnlyWhenUsed) {
    Fixture f;
    f.pasteboard.setString("c");
    expand("{date} {snippet:a}", {snippet("a", "{snippet:b}{time}"), snippet("b", "{day}")}, f);
    EXPECT_EQ(f.pasteboard.readCount(), 0);
    const std::string out =
        expand("{clipboard}{snippet:a}", {snippet("a", "{clipboard}{snippet:b}"), snippet("b", "{clipboard}")}, f);
    EXPECT_EQ(out, "ccc");
    EXPECT_EQ(f.pasteboard.readCount(), 1);
}

TEST(FillFields, NamesAreTrimmedOfSpacesButNotOfLineBreaksAndKeptInOrderWithoutRepeats) {
    using V = std::vector<std::string>;
    EXPECT_EQ(DynamicFieldProcessor::extractFillFields("{fill:Name} {fill: Name } {fill:name} {fill:  }"),
              (V{"Name", "name"}));
    EXPECT_EQ(DynamicFieldProcessor::extractFillFields("{fill:\tA\u00A0\u3000} {fill:\nB} {fill:}"), (V{"A", "\nB"}));
    EXPECT_EQ(DynamicFieldProcessor::extractFillFields("{fill:a{fill:b}"), (V{"a{fill:b"}));
}

TEST(FillFields, ValuesReplaceOnlyNamedFieldsAndGoInUnchanged) {
    using M = std::map<std::string, std::string>;
    EXPECT_EQ(DynamicFieldProcessor::applyFillValues("{fill:A}{fill:B}", M{{"A", "1"}}), "1{fill:B}");
    EXPECT_EQ(DynamicFieldProcessor::applyFillValues("{fill: A } and {fill:A}", M{{"A", " $1 \\n "}}),
              " $1 \\n  and  $1 \\n ");
    EXPECT_EQ(DynamicFieldProcessor::applyFillValues("{fill:A}", M{{"A", "{fill:A}"}}), "{fill:A}");
    EXPECT_TRUE(DynamicFieldProcessor::hasFillFields("x {fill: } y"));
    EXPECT_FALSE(DynamicFieldProcessor::hasFillFields("{fill:}"));
}

TEST(FillFields, FilledValuesGoThroughTheOtherFieldsButNestedFillFieldsStay) {
    Fixture f;
    const std::vector<SnippetItem> snippets{snippet("inner", "[{fill:Other}]")};
    const std::string filled = DynamicFieldProcessor::applyFillValues("{fill:V} {snippet:inner}", {{"V", "{day}"}});
    EXPECT_EQ(expand(filled, snippets, f), "Friday [{fill:Other}]");
}

TEST(DynamicFieldDetection, KnowsEveryFieldAndNothingElse) {
    for (const char* text : {"{cursor}", "{date-3}", "{date+1:short}", "a {snippet:x}", "{fill:n}", "{clipboard}"})
        EXPECT_TRUE(DynamicFieldProcessor::containsDynamicFields(text)) << text;
    for (const char* text : {"{foo}", "{fill:}", "{Date}", "{date+}", "{snippet:}", "plain"})
        EXPECT_FALSE(DynamicFieldProcessor::containsDynamicFields(text)) << text;
}

TEST(CursorStep, TheOffsetCountsCharactersAfterTheFirstMark) {
    Fixture f;
    auto run = [&](const std::string& text, const std::vector<SnippetItem>& snippets = {}) {
        return DynamicFieldProcessor::processWithCursor(text, snippets, f.context());
    };
    auto r = run("Hi {cursor}, there");
    EXPECT_EQ(r.text, "Hi , there");
    EXPECT_EQ(r.cursorOffset, 7u);
    EXPECT_EQ(run("end{cursor}").cursorOffset, 0u);
    EXPECT_EQ(run("none").cursorOffset, std::nullopt);

    r = run("a{cursor}b{cursor}c");
    EXPECT_EQ(r.text, "abc");
    EXPECT_EQ(r.cursorOffset, 2u);

    r = run("{cursor}👍🏽 e\u0301👨‍👩‍👧");
    EXPECT_EQ(r.cursorOffset, 4u);

    r = run("<{snippet:s}>", {snippet("s", "x{cursor}yz")});
    EXPECT_EQ(r.text, "<xyz>");
    EXPECT_EQ(r.cursorOffset, 3u);

    r = run("{cursor}{Cursor}");
    EXPECT_EQ(r.text, "{Cursor}");
}
