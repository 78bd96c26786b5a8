#pragma once
#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

#include <QCoro/QCoroTask>

#include "Generation/AIServiceProtocol.h"

namespace sablix {

class StreamingReply;

// Reads the generation proxy's server-sent events as they arrive: every text fragment goes to
// onDelta at once and into the whole text; an "error" event ends the reading with its message.
class SSEStreamParser {
public:
    SSEStreamParser() = delete;

    static constexpr std::string_view kLinePrefix = "data: ";
    // The field name of every data line, whether the blank follows or not.
    static constexpr std::string_view kDataField = "data:";
    static constexpr std::string_view kEndMarker = "[DONE]";
    // A line longer than this is dropped unread; no event of the proxy comes near it.
    static constexpr size_t kMaxLineBytes = 1024 * 1024;
    static constexpr qint64 kReadChunkBytes = 16 * 1024;
    // What a body cut off in the middle of a line fails with, in the transport's own words.
    static constexpr const char* kCutOffMessage = "Connection closed";

    // The whole text, not trimmed. Throws AIGenerationError (networkError for an error event,
    // emptyResponse for a blank text), CancellationError, or the body's TransportError.
    static QCoro::Task<std::string> parse(StreamingReply& bytes, AIServiceProtocol::DeltaHandler onDelta,
                                          std::stop_token cancellation);

    // The working state of one parse, fed the body in pieces of any size. Lines end at CR or LF
    // and are taken as UTF-8 (ill-formed bytes become U+FFFD) only once they are whole, so a
    // character split between pieces arrives intact. Memory stays within kMaxLineBytes plus the
    // text.
    class Reading {
    public:
        explicit Reading(AIServiceProtocol::DeltaHandler onDelta) : onDelta_(std::move(onDelta)) {}

        // Handles every line these bytes complete; false once the end marker was read, after
        // which nothing more is read. Throws as parse() does, checking cancellation before each
        // line.
        bool feed(std::string_view bytes, const std::stop_token& cancellation);
        // At the end of the body: handles a last line without a line break, then answers the
        // text or throws emptyResponse. A last data line that holds neither the end marker nor a
        // whole JSON value means the body was cut off (Qt 6.4 can report a chunked answer whose
        // connection dropped as complete): that throws TransportError, so a partial text never
        // passes for a whole one. Any other last line (a comment, an event name) ends it well.
        std::string finish(const std::stop_token& cancellation);

    private:
        enum class LineUse { ignored, used, endMarker };
        LineUse handleLine(std::string_view line, const std::stop_token& cancellation);
        LineUse handleEvent(std::string_view payload);
        static bool isCutDataLine(std::string_view line, LineUse use);

        AIServiceProtocol::DeltaHandler onDelta_;
        std::string text_;
        std::string pending_;  // the start of a line still without its line break
        bool skippingLongLine_ = false;
        bool skippedDataLine_ = false;  // the line being skipped is a data line
        bool ended_ = false;
    };
};

}  // namespace sablix
