#include "Snippets/SnippetValidation.h"

#include <algorithm>

#include "Snippets/DynamicFieldProcessor.h"
#include "Snippets/SnippetItem.h"
#include "Snippets/SnippetSettings.h"
#include "platform/TextRules.h"

namespace sablix {
namespace {

namespace text = platform::text;

constexpr int kMinTitleLength = 2;
constexpr size_t kLongContentLength = 10000;
constexpr size_t kMaxSuggestions = 3;
constexpr int kLastTitleNumber = 99;

const char* const kEmptyTitleMessage = "Snippet title cannot be empty";
const char* const kEmptyContentMessage = "Snippet content cannot be empty";
const char* const kInvalidCharactersMessage = "Snippet title cannot start with a semicolon";
const char* const kNewlinesMessage = "Title cannot contain line breaks";
const char* const kDuplicateTitleMessage = "This title is already in use";
const char* const kSpacesWarning = "Consider using dashes instead of spaces.";
const char* const kMultipleCursorsWarning =
    "Multiple {cursor} tags found. Only the first one will be used for cursor positioning.";

std::string tooLongMessage(int maxLength) {
    return "Snippet title cannot exceed " + std::to_string(maxLength) + " characters";
}
std::string tooShortMessage(int minLength) {
    return "Title must be at least " + std::to_string(minLength) +
           " characters \xE2\x80\x94 short titles trigger too easily";
}
std::string infiniteLoopMessage(const std::string& trigger) {
    return "Content can't include '" + trigger + "' \xE2\x80\x94 this would trigger the snippet repeatedly";
}
std::string commonWordWarning(const std::string& title) {
    return "'" + title + "' is a common word and may trigger accidentally.";
}
std::string longContentWarning(size_t length) {
    return "Very long content (" + std::to_string(length) + " characters) may cause a slight delay when pasting.";
}

bool equalStrings(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!text::equal(a[i], b[i])) return false;
    return true;
}

// Either of two lower-cased titles begins with the other.
bool overlaps(std::string_view a, std::string_view b) { return text::hasPrefix(a, b) || text::hasPrefix(b, a); }

size_t occurrences(std::string_view haystack, std::string_view needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

// Canonical equivalence is byte equality of the NFC forms; a prefix in the text rules' sense is
// at least a byte prefix of them. This cheap test spares most of the full checks.
bool mayOverlap(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    return a.compare(0, n, b.substr(0, n)) == 0;
}

// A title the other snippets leave free: it equals none of their titles and neither begins
// with one of them nor is the beginning of one (at any length, unlike the conflict rule).
// otherKeys are the other titles lower-cased and in NFC.
bool leftFree(const std::string& title, const std::vector<std::string>& otherKeys) {
    const std::string key = text::nfc(text::lowercased(title));
    return std::none_of(otherKeys.begin(), otherKeys.end(),
                        [&](const std::string& other) { return mayOverlap(other, key) && overlaps(other, key); });
}

std::vector<std::string> generateAlternativeSuggestions(const std::string& title,
                                                        const std::vector<std::string>& otherKeys) {
    std::vector<std::string> kept;
    for (const std::string& candidate : {title + "-", title + "1", "my-" + title, title + "-txt"}) {
        if (!leftFree(candidate, otherKeys)) continue;
        kept.push_back(candidate);
        if (kept.size() == kMaxSuggestions) break;
    }
    return kept;
}

bool refusedFor(const SnippetValidationResult& result, SnippetValidationError::Case reason) {
    return std::any_of(result.errors.begin(), result.errors.end(),
                       [reason](const SnippetValidationError& error) { return error.kind() == reason; });
}

bool refusedOnlyForCollision(const SnippetValidationResult& result) {
    return std::all_of(result.errors.begin(), result.errors.end(), [](const SnippetValidationError& error) {
        return error.kind() == SnippetValidationError::Case::duplicateTitle ||
               error.kind() == SnippetValidationError::Case::prefixConflict;
    });
}

}  // namespace

SnippetValidationError SnippetValidationError::titleTooLong(int maxLength) {
    SnippetValidationError e(Case::titleTooLong);
    e.length_ = maxLength;
    return e;
}

SnippetValidationError SnippetValidationError::titleTooShort(int minLength) {
    SnippetValidationError e(Case::titleTooShort);
    e.length_ = minLength;
    return e;
}

SnippetValidationError SnippetValidationError::duplicateTitle(std::string existingTitle) {
    SnippetValidationError e(Case::duplicateTitle);
    e.first_ = std::move(existingTitle);
    return e;
}

SnippetValidationError SnippetValidationError::infiniteLoopDetected(std::string trigger) {
    SnippetValidationError e(Case::infiniteLoopDetected);
    e.first_ = std::move(trigger);
    return e;
}

SnippetValidationError SnippetValidationError::prefixConflict(std::string thisTitle, std::string conflictingWith,
                                                              std::vector<std::string> suggestions) {
    SnippetValidationError e(Case::prefixConflict);
    e.first_ = std::move(thisTitle);
    e.second_ = std::move(conflictingWith);
    e.suggestions_ = std::move(suggestions);
    return e;
}

std::string SnippetValidationError::localizedDescription() const {
    switch (case_) {
    case Case::emptyTitle: return kEmptyTitleMessage;
    case Case::emptyContent: return kEmptyContentMessage;
    case Case::titleContainsInvalidCharacters: return kInvalidCharactersMessage;
    case Case::titleTooLong: return tooLongMessage(length_);
    case Case::titleTooShort: return tooShortMessage(length_);
    case Case::titleContainsNewlines: return kNewlinesMessage;
    case Case::duplicateTitle: return kDuplicateTitleMessage;
    case Case::infiniteLoopDetected: return infiniteLoopMessage(first_);
    case Case::prefixConflict: {
        // At equal length the other snippet's title counts as the shorter one.
        const bool thisIsShorter = text::length(first_) < text::length(second_);
        const std::string& shorter = thisIsShorter ? first_ : second_;
        const std::string& longer = thisIsShorter ? second_ : first_;
        std::string message = "'" + shorter + "' would trigger before '" + longer + "'.";
        if (!suggestions_.empty()) {
            message += " Try: ";
            for (size_t i = 0; i < suggestions_.size(); ++i) message += (i ? ", " : "") + suggestions_[i];
        }
        return message;
    }
    }
    return {};
}

bool operator==(const SnippetValidationError& a, const SnippetValidationError& b) {
    return a.case_ == b.case_ && a.length_ == b.length_ && text::equal(a.first_, b.first_) &&
           text::equal(a.second_, b.second_) && equalStrings(a.suggestions_, b.suggestions_);
}

std::vector<std::string> alternativeTitles(const std::string& title, const std::vector<SnippetItem>& existing) {
    std::vector<std::string> keys;
    keys.reserve(existing.size());
    for (const auto& other : existing) keys.push_back(text::nfc(text::lowercased(other.snippetTitle)));
    return generateAlternativeSuggestions(title, keys);
}

// A title that begins with a taken one never expands, since the engine fires the shorter trigger
// first; so the numbered candidates put their number in front of the title, not after it. The
// editor lets titles under three characters share a beginning; a title chosen here shares none,
// so that neither it nor the snippet it meets is shadowed.
std::optional<std::string> firstAcceptedTitle(const SnippetItem& item, const std::vector<SnippetItem>& existing,
                                              const SnippetSettings& settings) {
    std::vector<std::string> otherKeys;
    for (const auto& other : existing)
        if (other.id != item.id) otherKeys.push_back(text::nfc(text::lowercased(other.snippetTitle)));
    const std::string title = text::trimmed(item.snippetTitle);
    const SnippetValidationResult own = item.validate(existing, settings);
    if (own.isValid && leftFree(title, otherKeys)) return item.snippetTitle;
    if (!refusedOnlyForCollision(own)) return std::nullopt;

    SnippetItem candidate = item;
    const auto judged = [&](const std::string& candidateTitle) {
        candidate.snippetTitle = candidateTitle;
        return candidate.validate(existing, settings);
    };
    for (const std::string& alternative : alternativeTitles(title, existing))
        if (judged(alternative).isValid) return alternative;
    for (int number = 2; number <= kLastTitleNumber; ++number) {
        const std::string numbered = "my" + std::to_string(number) + "-" + title;
        const SnippetValidationResult result = judged(numbered);
        if (result.isValid && leftFree(numbered, otherKeys)) return numbered;
        // Every later candidate is at least as long.
        if (refusedFor(result, SnippetValidationError::Case::titleTooLong)) break;
    }
    return std::nullopt;
}

const std::unordered_set<std::string>& commonWords() {
    static const std::unordered_set<std::string> words = {
        "a",    "an",  "the", "is",    "it",   "to",    "in",     "on",     "at",     "of",   "for",  "and",
        "or",   "but", "not", "be",    "am",   "are",   "was",    "were",   "has",    "have", "had",  "do",
        "does", "did", "can", "could", "will", "would", "should", "may",    "might",  "must", "if",   "then",
        "else", "so",  "as",  "by",    "with", "from",  "up",     "down",   "out",    "off",  "over", "under",
        "no",   "yes", "ok",  "hi",    "hey",  "hello", "bye",    "thanks", "please",
    };
    return words;
}

SnippetValidationResult SnippetItem::validate(const std::vector<SnippetItem>& existingSnippets,
                                              const SnippetSettings& settings) const {
    const std::string title = text::trimmed(snippetTitle);
    const std::string content = text::trimmed(snippet);
    const std::string lowerTitle = text::lowercased(title);
    const size_t titleLength = text::length(title);
    const int maxLength = settings.maxTitleLength();

    std::vector<SnippetValidationError> errors;
    std::vector<std::string> warnings;

    if (title.empty()) errors.push_back(SnippetValidationError::emptyTitle());
    if (content.empty()) errors.push_back(SnippetValidationError::emptyContent());
    if (text::hasPrefix(title, ";")) errors.push_back(SnippetValidationError::titleContainsInvalidCharacters());
    if (maxLength >= 0 && titleLength > static_cast<size_t>(maxLength))
        errors.push_back(SnippetValidationError::titleTooLong(maxLength));
    if (!title.empty() && titleLength < static_cast<size_t>(kMinTitleLength))
        errors.push_back(SnippetValidationError::titleTooShort(kMinTitleLength));
    if (title.find_first_of("\n\r") != std::string::npos)
        errors.push_back(SnippetValidationError::titleContainsNewlines());

    // The stored copy of the snippet being edited never collides with it.
    const std::string titleKey = text::nfc(lowerTitle);
    const bool titleLongEnoughToConflict = titleLength >= 3;
    std::vector<std::string> otherKeys;
    otherKeys.reserve(existingSnippets.size());
    bool duplicate = false;
    const SnippetItem* prefixConflict = nullptr;  // the first in list order
    for (const auto& other : existingSnippets) {
        if (other.id == id) continue;
        std::string key = text::nfc(text::lowercased(other.snippetTitle));
        if (key == titleKey) duplicate = true;
        if (!prefixConflict && titleLongEnoughToConflict && mayOverlap(key, titleKey) && text::hasAtLeast(key, 3) &&
            overlaps(titleKey, key))
            prefixConflict = &other;
        otherKeys.push_back(std::move(key));
    }
    if (duplicate) errors.push_back(SnippetValidationError::duplicateTitle(title));

    if (!title.empty() && text::contains(text::lowercased(snippet), ";" + lowerTitle))
        errors.push_back(SnippetValidationError::infiniteLoopDetected(";" + title));

    if (title.find(' ') != std::string::npos && !settings.autoRemoveWhitespace()) warnings.push_back(kSpacesWarning);
    if (commonWords().count(lowerTitle)) warnings.push_back(commonWordWarning(title));

    if (!duplicate && prefixConflict) {
        errors.push_back(SnippetValidationError::prefixConflict(title, prefixConflict->snippetTitle,
                                                                generateAlternativeSuggestions(title, otherKeys)));
    }

    if (occurrences(content, DynamicFieldProcessor::kCursorMark) >= 2) warnings.push_back(kMultipleCursorsWarning);
    if (const size_t contentLength = text::length(content); contentLength > kLongContentLength)
        warnings.push_back(longContentWarning(contentLength));

    if (errors.empty()) return SnippetValidationResult::valid(std::move(warnings));
    return SnippetValidationResult::invalid(std::move(errors), std::move(warnings));
}

}  // namespace sablix
