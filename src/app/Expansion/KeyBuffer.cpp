#include "KeyBuffer.h"

#include "platform/TextRules.h"

namespace sablix {

const std::string& KeyBuffer::append(const std::string& typed) {
    if (typed == ";") text_.clear();
    text_ += typed;

    // Bytes bound characters from above, so the grapheme count is needed only past that.
    if (text_.size() <= maxBufferLength) return text_;
    const size_t characters = platform::text::length(text_);
    if (characters <= maxBufferLength) return text_;

    const size_t semicolon = text_.rfind(';');
    if (semicolon == std::string::npos) {
        dropFirstCharacters(characters - maxBufferLength);
    } else {
        text_.erase(0, semicolon);
        if (platform::text::length(text_) > maxTriggerBufferLength)
            dropFirstCharacters(platform::text::length(text_) - maxBufferLength);
    }
    return text_;
}

void KeyBuffer::removeLast() {
    if (text_.empty()) return;
    const size_t characters = platform::text::length(text_);
    text_ = platform::text::prefix(text_, characters > 0 ? characters - 1 : 0);
}

void KeyBuffer::dropFirstCharacters(size_t count) { text_.erase(0, platform::text::prefix(text_, count).size()); }

}  // namespace sablix
