#pragma once
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace sablix {

struct SnippetItem;
class SnippetSettings;

// One reason a snippet's title or content is refused, with the text the editor shows.
class SnippetValidationError {
public:
    enum class Case {
        emptyTitle,
        emptyContent,
        titleContainsInvalidCharacters,
        titleTooLong,
        titleTooShort,
        titleContainsNewlines,
        duplicateTitle,
        infiniteLoopDetected,
        prefixConflict,
    };

    static SnippetValidationError emptyTitle() { return SnippetValidationError(Case::emptyTitle); }
    static SnippetValidationError emptyContent() { return SnippetValidationError(Case::emptyContent); }
    static SnippetValidationError titleContainsInvalidCharacters() {
        return SnippetValidationError(Case::titleContainsInvalidCharacters);
    }
    static SnippetValidationError titleTooLong(int maxLength);
    static SnippetValidationError titleTooShort(int minLength);
    static SnippetValidationError titleContainsNewlines() {
        return SnippetValidationError(Case::titleContainsNewlines);
    }
    static SnippetValidationError duplicateTitle(std::string existingTitle);
    static SnippetValidationError infiniteLoopDetected(std::string trigger);
    static SnippetValidationError prefixConflict(std::string thisTitle, std::string conflictingWith,
                                                 std::vector<std::string> suggestions);

    Case kind() const { return case_; }
    // Payloads; each is meaningful only for the case that carries it.
    int maxLength() const { return length_; }                                     // titleTooLong
    int minLength() const { return length_; }                                     // titleTooShort
    const std::string& existingTitle() const { return first_; }                   // duplicateTitle
    const std::string& trigger() const { return first_; }                         // infiniteLoopDetected
    const std::string& thisTitle() const { return first_; }                       // prefixConflict
    const std::string& conflictingWith() const { return second_; }                // prefixConflict
    const std::vector<std::string>& suggestions() const { return suggestions_; }  // prefixConflict

    std::string localizedDescription() const;

    friend bool operator==(const SnippetValidationError& a, const SnippetValidationError& b);

private:
    explicit SnippetValidationError(Case c) : case_(c) {}

    Case case_;
    int length_ = 0;
    std::string first_;
    std::string second_;
    std::vector<std::string> suggestions_;
};

// The outcome of validating a snippet: errors make it invalid, warnings never do.
struct SnippetValidationResult {
    bool isValid = true;
    std::vector<SnippetValidationError> errors;
    std::vector<std::string> warnings;

    static SnippetValidationResult valid(std::vector<std::string> warnings = {}) {
        return {true, {}, std::move(warnings)};
    }
    static SnippetValidationResult invalid(std::vector<SnippetValidationError> errors,
                                           std::vector<std::string> warnings = {}) {
        return {false, std::move(errors), std::move(warnings)};
    }

    friend bool operator==(const SnippetValidationResult&, const SnippetValidationResult&) = default;
};

// Lower-case English words that would make a trigger fire by accident; built once.
const std::unordered_set<std::string>& commonWords();

// Titles close to `title` that neither equal a title of `existing` nor overlap one as a prefix, in
// the order the prefix-conflict message suggests them.
std::vector<std::string> alternativeTitles(const std::string& title, const std::vector<SnippetItem>& existing);

// The title the editor would save `item` under beside `existing`, so that it expands: its own,
// or, when that one collides with a title of existing (a beginning shared at any length counts),
// the first the editor accepts of its alternativeTitles and then "my2-" + title, "my3-" + title,
// ... up to "my99-". None when no candidate is accepted.
std::optional<std::string> firstAcceptedTitle(const SnippetItem& item, const std::vector<SnippetItem>& existing,
                                              const SnippetSettings& settings);

}  // namespace sablix
