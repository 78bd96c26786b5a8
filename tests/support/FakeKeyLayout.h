#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "desktop/KeyCodes.h"
#include "desktop/KeyLayout.h"

namespace testsupport {

// A keyboard whose keys the test makes up: every character gets a key of its own, and an
// upper-case ASCII letter is the key of its lower-case letter pressed with Shift, so a key's
// text depends on the state it was recorded with.
class FakeKeyLayout final : public desktop::KeyLayout {
public:
    static constexpr uint32_t kShiftMask = 1;

    // The key that types one character (one UTF-8 code point or cluster given as a string).
    desktop::KeyDown keyFor(const std::string& character) {
        std::lock_guard lock(mutex_);
        std::string base = character;
        uint32_t state = 0;
        if (character.size() == 1 && character[0] >= 'A' && character[0] <= 'Z') {
            base = std::string(1, static_cast<char>(character[0] - 'A' + 'a'));
            state = kShiftMask;
        }
        auto found = keycodes_.find(base);
        if (found == keycodes_.end()) {
            found = keycodes_.emplace(base, nextKeycode_++).first;
            texts_[found->second] = base;
        }
        // Any made-up virtual key code that is none of the keys the engine treats specially.
        return desktop::KeyDown{static_cast<int>(found->second) + 1000, found->second, state};
    }

    // One key per code point of a UTF-8 text.
    std::vector<desktop::KeyDown> keysFor(const std::string& text) {
        std::vector<desktop::KeyDown> keys;
        for (size_t i = 0; i < text.size();) {
            const auto lead = static_cast<unsigned char>(text[i]);
            const size_t size = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            keys.push_back(keyFor(text.substr(i, size)));
            i += size;
        }
        return keys;
    }

    // A key that yields no text (a modifier or a dead key).
    static desktop::KeyDown silentKey() { return desktop::KeyDown{56, 50, 0}; }
    static desktop::KeyDown deleteKey() { return desktop::KeyDown{desktop::keycode::kDelete, 22, 0}; }
    static desktop::KeyDown forwardDeleteKey() { return desktop::KeyDown{desktop::keycode::kForwardDelete, 119, 0}; }

    std::string text(const desktop::KeyDown& key) override {
        ++textCalls_;
        std::lock_guard lock(mutex_);
        const auto found = texts_.find(key.xKeycode);
        if (found == texts_.end()) return {};
        std::string text = found->second;
        if ((key.xState & kShiftMask) && text.size() == 1 && text[0] >= 'a' && text[0] <= 'z')
            text[0] = static_cast<char>(text[0] - 'a' + 'A');
        return text;
    }
    std::string keyName(int) override { return {}; }

    int textCalls() const { return textCalls_.load(); }

private:
    std::mutex mutex_;
    std::map<std::string, uint32_t> keycodes_;
    std::map<uint32_t, std::string> texts_;
    uint32_t nextKeycode_ = 200;
    std::atomic<int> textCalls_{0};
};

}  // namespace testsupport
