#include "platform/TextRules.h"

#include <memory>
#include <unicode/brkiter.h>
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
        std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
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

bool isWhiteSpaceOrNewline(UChar32 c) { return u_isUWhiteSpace(c); }

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
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

std::string trimmed(std::string_view s) {
    int32_t start = 0;
    const int32_t size = static_cast<int32_t>(s.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    while (start < size) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, size, c);
        if (c < 0 || !isWhiteSpaceOrNewline(c)) break;
        start = next;
    }
    int32_t end = size;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, 0, previous, c);
        if (c < 0 || !isWhiteSpaceOrNewline(c)) break;
        end = previous;
    }
    return std::string(s.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
}

std::string nfc(std::string_view s) {
    if (isAscii(s)) return std::string(s);
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    const auto& normalizer = nfcNormalizer();
    if (normalizer.isNormalized(u, status) && U_SUCCESS(status)) return std::string(s);
    status = U_ZERO_ERROR;
    icu::UnicodeString normalized = normalizer.normalize(u, status);
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

bool equal(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return nfc(a) == nfc(b);
}

bool hasPrefix(std::string_view s, std::string_view p) {
    if (isAscii(s) && isAscii(p)) return s.substr(0, p.size()) == p;
    const std::string ns = nfc(s), np = nfc(p);
    if (ns.compare(0, np.size(), np) != 0) return false;
    // The prefix must end on a character boundary: "e" does not start "é" written as e + U+0301.
    return graphemeEnd(ns, length(np), nullptr) == np.size();
}

bool contains(std::string_view s, std::string_view part) {
    if (part.empty()) return true;
    if (isAscii(s) && isAscii(part)) return s.find(part) != std::string_view::npos;
    return nfc(s).find(nfc(part)) != std::string::npos;
}

}  // namespace platform::text
