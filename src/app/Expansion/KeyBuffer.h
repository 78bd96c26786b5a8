#pragma once
#include <cstddef>
#include <string>

namespace sablix {

// The characters typed since the last ";", in which the engine looks for a trigger. Not
// thread-safe: only the engine's processing queue touches it.
class KeyBuffer {
public:
    // Above this many characters a buffer without ";" drops its oldest character.
    static constexpr size_t maxBufferLength = 50;
    // A buffer that starts with ";" keeps growing until the next ";", a match or a Delete key,
    // but only up to this many characters: no trigger is longer than 41, so beyond that nothing
    // can match until the next ";" and the buffer is cut back to its last maxBufferLength
    // characters. Keeps memory and the cost of every key flat.
    static constexpr size_t maxTriggerBufferLength = 200;

    // Adds the text of one key (a typed ";" starts the buffer afresh) and returns the buffer.
    const std::string& append(const std::string& typed);
    // Delete and Forward Delete: the last character goes, when there is one.
    void removeLast();
    void clear() { text_.clear(); }

    const std::string& text() const { return text_; }

private:
    void dropFirstCharacters(size_t count);

    std::string text_;
};

}  // namespace sablix
