#include "MainWindow/SnippetEditorRules.h"

#include <algorithm>
#include <unicode/uchar.h>

#include "platform/TextRules.h"

namespace sablix::editorRules {
namespace {

bool isTagSpace(int32_t c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

}  // namespace

std::string normalizedTitle(std::string_view title, bool removeSpaces, int maxLength) {
    std::string result;
    result.reserve(title.size());
    for (char c : title)
        if (c != ';' && !(removeSpaces && c == ' ')) result += c;
    const size_t limit = static_cast<size_t>(std::max(maxLength, 0));
    if (platform::text::hasAtLeast(result, limit + 1)) result = platform::text::prefix(result, limit);
    return result;
}

std::vector<SnippetValidationError> displayableErrors(const std::vector<SnippetValidationError>& errors) {
    std::vector<SnippetValidationError> shown;
    for (const auto& error : errors) {
        const auto kind = error.kind();
        if (kind != SnippetValidationError::Case::emptyTitle && kind != SnippetValidationError::Case::emptyContent)
            shown.push_back(error);
    }
    return shown;
}

bool canSave(std::string_view title, std::string_view content,
             const std::vector<SnippetValidationError>& displayableErrors) {
    return !platform::text::trimmed(title).empty() && !platform::text::trimmed(content).empty() &&
           displayableErrors.empty();
}

std::optional<std::string> tagToAdd(std::string_view typed, const std::vector<std::string>& tags) {
    std::string tag = platform::text::lowercased(platform::text::trimmedWhere(typed, isTagSpace));
    if (tag.empty() || std::find(tags.begin(), tags.end(), tag) != tags.end()) return std::nullopt;
    return tag;
}

QString contentWithField(const QString& content, const QString& token, std::optional<TextSelection> selection) {
    if (selection && selection->location >= 0 && selection->length >= 0 &&
        selection->location + selection->length <= content.size()) {
        QString result = content;
        return result.replace(selection->location, selection->length, token);
    }
    return content + token;
}

}  // namespace sablix::editorRules
