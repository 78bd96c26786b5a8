#include "Generation/SSEStreamParser.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "Accounts/AuthError.h"
#include "Generation/AIGenerationError.h"
#include "Generation/CancellationError.h"
#include "Networking/StreamingReply.h"
#include "platform/TextRules.h"
#include "platform/Utf8.h"

namespace sablix {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// How many bytes from `at` form the longest start of a well-formed sequence: they become one
// replacement character together, as a UTF-8 decoder that follows the Unicode standard does.
size_t illFormedLength(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    int continuations = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    size_t length = 1;
    for (int i = 0; i < continuations && at + length < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[at + length]);
        if (byte < low || byte > high) break;
        low = 0x80;
        high = 0xBF;
        ++length;
    }
    return length;
}

std::string withReplacementCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t at = 0; at < text.size();) {
        const size_t length = platform::utf8::decode(text, at).length;
        if (length > 0) {
            out.append(text.substr(at, length));
            at += length;
        } else {
            platform::utf8::append(out, kReplacementCharacter);
            at += illFormedLength(text, at);
        }
    }
    return out;
}

// The payload as UTF-8 that JSON accepts: ill-formed sequences become replacement characters.
std::string readable(std::string_view payload) {
    if (platform::text::isAscii(payload) || platform::utf8::isValid(payload)) return std::string(payload);
    return withReplacementCharacters(payload);
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// object[key][inner] when both levels have the expected kinds: an object, then a string.
const std::string* nestedString(const nlohmann::json& object, const char* key, const char* inner) {
    const nlohmann::json* outer = member(object, key);
    if (!outer || !outer->is_object()) return nullptr;
    const nlohmann::json* value = member(*outer, inner);
    return value && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

}  // namespace

QCoro::Task<std::string> SSEStreamParser::parse(StreamingReply& bytes, AIServiceProtocol::DeltaHandler onDelta,
                                                std::stop_token cancellation) {
    Reading reading(std::move(onDelta));
    for (;;) {
        const QByteArray chunk = co_await bytes.read(kReadChunkBytes);
        if (cancellation.stop_requested()) throw CancellationError();
        if (chunk.isEmpty()) break;
        if (!reading.feed(std::string_view(chunk.constData(), static_cast<size_t>(chunk.size())), cancellation)) break;
    }
    co_return reading.finish(cancellation);
}

bool SSEStreamParser::Reading::feed(std::string_view bytes, const std::stop_token& cancellation) {
    while (!ended_ && !bytes.empty()) {
        const size_t lineBreak = bytes.find_first_of("\r\n");
        const std::string_view piece = bytes.substr(0, lineBreak);
        // A line break starts a new line: "\r\n" gives an empty line between, which no event is.
        if (lineBreak == std::string_view::npos) {
            if (skippingLongLine_) return true;
            if (pending_.size() + piece.size() > kMaxLineBytes) {
                const std::string start =
                    pending_.substr(0, kDataField.size()) + std::string(piece.substr(0, kDataField.size()));
                skippedDataLine_ = start.starts_with(kDataField);
                std::string().swap(pending_);
                skippingLongLine_ = true;
            } else {
                pending_.append(piece);
            }
            return true;
        }
        bytes.remove_prefix(lineBreak + 1);
        if (skippingLongLine_) {
            skippingLongLine_ = false;
            continue;
        }
        if (pending_.empty()) {
            if (piece.size() <= kMaxLineBytes && handleLine(piece, cancellation) == LineUse::endMarker) ended_ = true;
            continue;
        }
        if (pending_.size() + piece.size() <= kMaxLineBytes) {
            pending_.append(piece);
            if (handleLine(pending_, cancellation) == LineUse::endMarker) ended_ = true;
        }
        pending_.clear();
    }
    return !ended_;
}

std::string SSEStreamParser::Reading::finish(const std::stop_token& cancellation) {
    if (!ended_ && (skippingLongLine_ || !pending_.empty())) {
        const std::string last = std::move(pending_);
        pending_.clear();
        if (skippingLongLine_ ? skippedDataLine_ : isCutDataLine(last, handleLine(last, cancellation)))
            throw TransportError(kCutOffMessage);
    }
    ended_ = true;
    if (platform::text::trimmed(text_).empty()) throw AIGenerationError::emptyResponse();
    return text_;
}

// A comment, an event name or any other line may end the body without a line break; a data line
// that holds neither the end marker nor a whole JSON value lost its end on the way.
bool SSEStreamParser::Reading::isCutDataLine(std::string_view line, LineUse use) {
    if (use != LineUse::ignored || !line.starts_with(kDataField)) return false;
    std::string_view payload = line.substr(kDataField.size());
    if (payload.starts_with(' ')) payload.remove_prefix(1);
    if (payload == kEndMarker) return false;
    return !nlohmann::json::accept(readable(payload));
}

SSEStreamParser::Reading::LineUse SSEStreamParser::Reading::handleLine(std::string_view line,
                                                                       const std::stop_token& cancellation) {
    if (cancellation.stop_requested()) throw CancellationError();
    if (!line.starts_with(kLinePrefix)) return LineUse::ignored;
    const std::string_view payload = line.substr(kLinePrefix.size());
    if (payload == kEndMarker) return LineUse::endMarker;
    if (platform::text::isAscii(payload) || platform::utf8::isValid(payload)) return handleEvent(payload);
    return handleEvent(withReplacementCharacters(payload));
}

// Used: the payload is a JSON object with a "type" string, whatever its kind.
SSEStreamParser::Reading::LineUse SSEStreamParser::Reading::handleEvent(std::string_view payload) {
    const auto event = nlohmann::json::parse(payload, nullptr, false);
    if (!event.is_object()) return LineUse::ignored;
    const nlohmann::json* type = member(event, "type");
    if (!type || !type->is_string()) return LineUse::ignored;
    if (*type == "content_block_delta") {
        if (const std::string* text = nestedString(event, "delta", "text")) {
            text_ += *text;
            onDelta_(*text);
        }
    } else if (*type == "error") {
        if (const std::string* message = nestedString(event, "error", "message"))
            throw AIGenerationError::networkError(*message);
    }
    return LineUse::used;
}

}  // namespace sablix
