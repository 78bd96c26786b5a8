#include <gtest/gtest.h>

#include "Accounts/AuthError.h"
#include "Generation/AIGenerationError.h"
#include "Generation/SSEStreamParser.h"

using sablix::SSEStreamParser;

namespace {

std::string delta(const std::string& text, const char* lineEnd = "\n") {
    return R"(data: {"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":")" + text + "\"}}" +
           lineEnd;
}

struct Outcome {
    std::vector<std::string> fragments;
    std::string text;
    std::string error;  // the description of what was thrown
    bool operator==(const Outcome&) const = default;
    friend void PrintTo(const Outcome& o, std::ostream* out) {
        *out << ::testing::PrintToString(o.fragments) << " text \"" << o.text << "\" error \"" << o.error << "\"";
    }
};

// Feeds the body in pieces of the given size (0: whole), then ends it.
Outcome read(const std::string& body, size_t pieceSize) {
    Outcome outcome;
    SSEStreamParser::Reading reading([&](const std::string& fragment) { outcome.fragments.push_back(fragment); });
    const std::stop_token noCancellation;
    const size_t step = pieceSize == 0 ? body.size() : pieceSize;
    try {
        for (size_t at = 0; at < body.size(); at += step)
            if (!reading.feed(std::string_view(body).substr(at, step), noCancellation)) break;
        outcome.text = reading.finish(noCancellation);
    } catch (const sablix::AIGenerationError& error) {
        outcome.error = error.errorDescription().value_or("(none)");
    } catch (const sablix::TransportError& error) {
        outcome.error = std::string("transport: ") + error.what();
    }
    return outcome;
}

}  // namespace

// Whatever pieces the body arrives in (whole, byte by byte, cut through lines and UTF-8
// sequences), the same fragments come out, in order, and the same end.
TEST(StreamParserTest, ReadsEventLinesWhateverPiecesTheBodyArrivesIn) {
    const std::string longLine = delta(std::string(2 * SSEStreamParser::kMaxLineBytes, 'a'));
    const std::string bad =
        "a\xE2\x82"
        "b\xFF"
        "c\xED\xA0\x80";
    const std::string replaced = "a\uFFFDb\uFFFDc\uFFFD\uFFFD\uFFFD";
    const struct {
        const char* name;
        std::string body;
        Outcome expected;
    } cases[] = {
        {"events with CRLF and CR line ends, text cut through UTF-8 anywhere",
         "event: content_block_delta\r\n" + delta("Grüße 👩‍👩‍👧 ", "\r\n") + "\r\n" +
             delta("日本", "\r") + "data: [DONE]\r\n",
         {{"Grüße 👩‍👩‍👧 ", "日本"}, "Grüße 👩‍👩‍👧 日本", ""}},
        {"the end marker needs its blank; one event is never joined across lines; nothing after the marker",
         "data:[DONE]\ndata: [DONE] \ndata: {\"type\":\"content_block_\ndata: delta\"}\n" + delta("x") +
             "data: [DONE]\n" + delta("never"),
         {{"x"}, "x", ""}},
        {"malformed events are passed over; a last line without its line break still counts",
         ": comment\nid: 7\ndata:" + delta("no").substr(6) + "data: {not json\ndata: [1,2]\ndata: {\"type\":5}\n" +
             "data: {\"type\":\"error\",\"error\":{}}\ndata: {\"type\":\"error\",\"error\":\"flat\"}\n" +
             "data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"input_json_delta\"}}\n" +
             "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":7}}\n" +
             "data: {\"type\":\"message_stop\"}\n" + delta("ok") +
             "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"tail\"}}",
         {{"ok", "tail"}, "oktail", ""}},
        {"ill-formed UTF-8 becomes one replacement character per broken sequence",
         delta(bad),
         {{replaced}, replaced, ""}},
        {"a line over the limit is dropped whole and the next one read",
         longLine + delta("after") + "data: [DONE]\n",
         {{"after"}, "after", ""}},
        {"an error event ends the reading with its message, whatever came before",
         delta("partial") + "event: error\ndata: {\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\"," +
             "\"message\":\"Overloaded\"}}\n" + delta("never"),
         {{"partial"}, "", "Network error: Overloaded"}},
        {"blanks around the text stay", delta("  hi  "), {{"  hi  "}, "  hi  ", ""}},
        {"a body that ends inside a line over the limit was cut off, not finished",
         delta("Hi") + "data: " + std::string(longLine.size(), 'x'),
         {{"Hi"}, "", "transport: Connection closed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t pieceSize : {0, 1, 7}) EXPECT_EQ(read(c.body, pieceSize), c.expected) << "pieces of " << pieceSize;
    }
}
