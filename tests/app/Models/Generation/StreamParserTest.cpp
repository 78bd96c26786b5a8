#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Models/Auth/AuthError.h"
#include "Models/Generation/AIGenerationError.h"
#include "Models/Generation/SSEStreamParser.h"

using sablix::AIGenerationError;
using sablix::SSEStreamParser;

namespace {

std::string delta(const std::string& text, const char* lineEnd = "\n") {
    return R"(data: {"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":")" + text + "\"}}" +
           lineEnd;
}

struct Outcome {
    std::vector<std::string> fragments;
    std::string text;
    std::optional<std::string> error;  // the description of what was thrown
    bool operator==(const Outcome&) const = default;
    friend void PrintTo(const Outcome& o, std::ostream* out) {
        *out << "fragments [";
        for (const auto& f : o.fragments) *out << "\"" << f << "\" ";
        *out << "] text \"" << o.text << "\" error \"" << o.error.value_or("(none)") << "\"";
    }
};

// Feeds the body in pieces of the given size (0: whole), then ends it.
Outcome read(const std::string& body, size_t pieceSize) {
    Outcome outcome;
    SSEStreamParser::Reading reading([&](const std::string& fragment) { outcome.fragments.push_back(fragment); });
    const std::stop_token noCancellation;
    try {
        const size_t step = pieceSize == 0 ? body.size() : pieceSize;
        for (size_t at = 0; at < body.size(); at += step)
            if (!reading.feed(std::string_view(body).substr(at, step), noCancellation)) break;
        outcome.text = reading.finish(noCancellation);
    } catch (const AIGenerationError& error) {
        outcome.error = error.errorDescription().value_or("(none)");
    } catch (const sablix::TransportError& error) {
        outcome.error = std::string("transport: ") + error.what();
    }
    return outcome;
}

struct Case {
    const char* name;
    std::string body;
    Outcome expected;
};

}  // namespace

// Whatever pieces the body arrives in (whole, byte by byte, cut through lines and UTF-8
// sequences), the same fragments come out, in order, and the same end.
TEST(StreamParserTest, ReadsEventLinesWhateverPiecesTheBodyArrivesIn) {
    const std::string longLine = delta(std::string(2 * SSEStreamParser::kMaxLineBytes, 'a'));
    const std::vector<Case> cases = {
        {"events with CRLF and CR line ends, text cut through UTF-8 anywhere",
         "event: content_block_delta\r\n" + delta("Grüße 👩‍👩‍👧 ", "\r\n") + "\r\n" +
             delta("日本", "\r") + "data: [DONE]\r\n",
         {{"Grüße 👩‍👩‍👧 ", "日本"}, "Grüße 👩‍👩‍👧 日本", std::nullopt}},
        {"the end marker needs its blank; one event is never joined across lines; nothing after the marker",
         "data:[DONE]\ndata: [DONE] \ndata: {\"type\":\"content_block_\ndata: delta\"}\n" + delta("x") +
             "data: [DONE]\n" + delta("never"),
         {{"x"}, "x", std::nullopt}},
        {"malformed events are passed over; a last line without its line break still counts",
         ": comment\nid: 7\ndata:" + delta("no").substr(6) + "data: {not json\ndata: [1,2]\ndata: {\"type\":5}\n" +
             "data: {\"type\":\"error\",\"error\":{}}\ndata: {\"type\":\"error\",\"error\":\"flat\"}\n" +
             "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"input_json_delta\"}}\n" +
             "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":7}}\n" +
             "data: {\"type\":\"message_stop\"}\n" + delta("ok") + "data: {\"type\":\"content_block_delta\"," +
             "\"delta\":{\"text\":\"tail\"}}",
         {{"ok", "tail"}, "oktail", std::nullopt}},
        {"ill-formed UTF-8 becomes one replacement character per broken sequence",
         delta("a\xE2\x82"
               "b\xFF"
               "c\xED\xA0\x80"),
         {{"a\uFFFD"
           "b\uFFFD"
           "c\uFFFD\uFFFD\uFFFD"},
          "a\uFFFD"
          "b\uFFFD"
          "c\uFFFD\uFFFD\uFFFD",
          std::nullopt}},
        {"a line over the limit is dropped whole and the next one read",
         longLine + delta("after") + "data: [DONE]\n",
         {{"after"}, "after", std::nullopt}},
        {"an error event ends the reading with its message, whatever came before",
         delta("partial") + "event: error\ndata: {\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\"," +
             "\"message\":\"Overloaded\"}}\n" + delta("never"),
         {{"partial"}, "", "Network error: Overloaded"}},
        {"fragments that are only blanks are handed over, but the answer is empty",
         delta(" ") + delta("\\n\\t") + "data: [DONE]\n",
         {{" ", "\n\t"}, "", "AI returned empty response. Try a different title or prompt."}},
        {"only the end marker",
         "data: [DONE]\n",
         {{}, "", "AI returned empty response. Try a different title or prompt."}},
        {"blanks around the text stay", delta("  hi  "), {{"  hi  "}, "  hi  ", std::nullopt}},
        {"a body that ends in the middle of a line was cut off, not finished",
         delta("Hi") + R"(data: {"type":"content_block_delta","delta":{"te)",
         {{"Hi"}, "", "transport: Connection closed"}},
        {"so was one that ends inside a line over the limit",
         delta("Hi") + "data: " + std::string(longLine.size(), 'x'),
         {{"Hi"}, "", "transport: Connection closed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read(c.body, 0), c.expected);
        EXPECT_EQ(read(c.body, 1), c.expected);
        EXPECT_EQ(read(c.body, 7), c.expected);
    }
}
