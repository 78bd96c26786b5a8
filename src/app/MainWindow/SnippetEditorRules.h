#pragma once
#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Snippets/SnippetValidation.h"

namespace sablix::editorRules {

// The title as the trigger engine needs it: without any ";", without spaces (U+0020 only) when
// removeSpaces is set, and cut to maxLength user-perceived characters.
std::string normalizedTitle(std::string_view title, bool removeSpaces, int maxLength);

// The validation errors the editor shows. A blank title or blank content only disables Save,
// so their two errors are never shown.
std::vector<SnippetValidationError> displayableErrors(const std::vector<SnippetValidationError>& errors);

// Save is offered once title and content hold more than white space and no shown error remains.
bool canSave(std::string_view title, std::string_view content,
             const std::vector<SnippetValidationError>& displayableErrors);

// The tag that submitting the typed text adds: trimmed of spaces and tabs, lower-cased; none when
// that leaves nothing or the list already holds it.
std::optional<std::string> tagToAdd(std::string_view typed, const std::vector<std::string>& tags);

// The part of the content a field token replaces, in UTF-16 code units as text editors count.
struct TextSelection {
    qsizetype location = 0;
    qsizetype length = 0;
};

// The content with the token in place of the selection (at the caret when it is empty); appended
// at the end when there is no selection to go by or it lies outside the content.
QString contentWithField(const QString& content, const QString& token, std::optional<TextSelection> selection);

}  // namespace sablix::editorRules
