#include "platform/TextRules.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

namespace platform::text {
namespace {

icu::BreakIterator& characterIterator() {
    // Building a break iterator is costly; each thread keeps its own (they are not thread-safe).
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return it;
    }();
    return *iterator;
}

const icu::Normalizer2& nfcNormalizer() {
    UErrorCode status = U_ZERO_ERROR;
    return *icu::Normalizer2::getNFCInstance(status);
}

// Byte offset just past the first N grapheme clusters (or the end).
size_t graphemeEnd(std::string_view s, size_t characters, size_t* counted) {
    size_t count = 0;
    if (isAscii(s)) {
        // Only CR LF joins two ASCII characters into one cluster.
        size_t i = 0;
        while (i < s.size() && count < characters) {
            i += (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
            ++count;
        }
        if (counted) *counted = count;
        return i;
    }
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status);
    auto& it = characterIterator();
    it.setText(ut, status);
    size_t end = 0;
    if (U_SUCCESS(status)) {
        for (int32_t pos = it.next(); pos != icu::BreakIterator::DONE && count < characters; pos = it.next()) {
            end = static_cast<size_t>(pos);
            ++count;
        }
    }
    utext_close(ut);
    if (counted) *counted = count;
    return end;
}

bool isWhiteSpaceOrNewline(int32_t c) { return u_isUWhiteSpace(c); }

}  // namespace

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

size_t length(std::string_view s) {
    size_t count = 0;
    graphemeEnd(s, SIZE_MAX, &count);
    return count;
}

bool hasAtLeast(std::string_view s, size_t characters) {
    if (s.size() < characters) return false;  // no character is shorter than a byte
    size_t count = 0;
    graphemeEnd(s, characters, &count);
    return count >= characters;
}

std::string prefix(std::string_view s, size_t characters) {
    return std::string(s.substr(0, graphemeEnd(s, characters, nullptr)));
}

std::string lowercased(std::string_view s) {
    if (isAscii(s)) {
        std::string out(s);
        for (auto& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    // The root locale gives the Unicode default mapping, with no language-specific rules.
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(s.size()));
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())), sink, nullptr, status);
    return out;
}

std::string_view trimmedWhere(std::string_view s, bool (*isTrimmed)(int32_t codePoint)) {
    int32_t start = 0;
    const int32_t size = static_cast<int32_t>(s.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    while (start < size) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, size, c);
        if (c < 0 || !isTrimmed(c)) break;
        start = next;
    }
    int32_t end = size;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, 0, previous, c);
        if (c < 0 || !isTrimmed(c)) break;
        end = previous;
    }
    return s.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

std::string trimmed(std::string_view s) { return std::string(trimmedWhere(s, isWhiteSpaceOrNewline)); }

std::string nfc(std::string_view s) {
    if (isAscii(s)) return std::string(s);
    UErrorCode status = U_ZERO_ERROR;
    const icu::StringPiece piece(s.data(), static_cast<int32_t>(s.size()));
    const auto& normalizer = nfcNormalizer();
    if (normalizer.isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return std::string(s);
    status = U_ZERO_ERROR;
    std::string out;
    icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(s.size()));
    normalizer.normalizeUTF8(0, piece, sink, nullptr, status);
    return out;
}

bool equal(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return nfc(a) == nfc(b);
}

bool hasPrefix(std::string_view s, std::string_view p) {
    if (isAscii(s) && isAscii(p)) {
        if (s.substr(0, p.size()) != p) return false;
        // CR LF is one character: "a\r" does not begin "a\r\n".
        return p.empty() || p.back() != '\r' || p.size() == s.size() || s[p.size()] != '\n';
    }
    const std::string ns = nfc(s), np = nfc(p);
    if (ns.compare(0, np.size(), np) != 0) return false;
    // The prefix must end on a character boundary: "e" does not start "é" written as e + U+0301.
    return graphemeEnd(ns, length(np), nullptr) == np.size();
}

bool contains(std::string_view s, std::string_view part) {
    if (part.empty()) return true;
    if (isAscii(s) && isAscii(part)) {
        for (size_t at = s.find(part); at != std::string_view::npos; at = s.find(part, at + 1)) {
            const bool splitsBefore = part.front() == '\n' && at > 0 && s[at - 1] == '\r';
            const bool splitsAfter = part.back() == '\r' && at + part.size() < s.size() && s[at + part.size()] == '\n';
            if (!splitsBefore && !splitsAfter) return true;
        }
        return false;
    }
    // A match counts only when it starts and ends between characters, so "x" is not found in
    // "x" followed by a combining accent.
    const std::string ns = nfc(s), np = nfc(part);
    size_t at = ns.find(np);
    if (at == std::string::npos) return false;
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, ns.data(), static_cast<int64_t>(ns.size()), &status);
    auto& it = characterIterator();
    it.setText(ut, status);
    bool found = false;
    for (; at != std::string::npos && U_SUCCESS(status); at = ns.find(np, at + 1)) {
        if (it.isBoundary(static_cast<int32_t>(at)) && it.isBoundary(static_cast<int32_t>(at + np.size()))) {
            found = true;
            break;
        }
    }
    utext_close(ut);
    return found;
}

}  // namespace platform::text
