#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/x11/X11ClipboardFormats.h"

using desktop::PasteboardContents;

// Saved contents put back, or what an owner sent: the plain text comes from the most wanted type
// whose bytes are safely text, whatever order the formats stand in.
TEST(X11ClipboardFormats, PlainTextComesFromTheMostWantedTypeThatHoldsText) {
    struct Case {
        const char* what;
        PasteboardContents contents;
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        {"UTF-8 before Latin-1", {{{"STRING", "\xE9t\xE9 ?"}, {"UTF8_STRING", "été ✓"}}}, "été ✓"},
        {"a type without charset, UTF-8", {{{"image/png", "\x89PNG"}, {"text/plain", "✓"}}}, "✓"},
        {"a type without charset, Latin-1", {{{"TEXT", "\xE9t\xE9"}}}, "été"},
        {"plain COMPOUND_TEXT is Latin-1", {{{"COMPOUND_TEXT", "\xE9t\xE9"}}}, "été"},
        {"COMPOUND_TEXT that switches charsets is passed over",
         {{{"COMPOUND_TEXT", "\x1b$)A\xC4\xE3"}, {"STRING", "ni hao"}}},
         "ni hao"},
        {"no text at all", {{{"image/png", "\x89PNG"}}}, std::nullopt},
    };
    for (const auto& [what, contents, text] : cases) EXPECT_EQ(desktop::textOf(contents), text) << what;
}
