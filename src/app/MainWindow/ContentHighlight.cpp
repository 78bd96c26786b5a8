#include "MainWindow/ContentHighlight.h"

#include <algorithm>

#include "Snippets/DynamicFieldProcessor.h"

namespace sablix::contentHighlight {
namespace {

const std::vector<QString>& fixedTokens() {
    static const std::vector<QString> tokens = [] {
        std::vector<QString> list;
        for (const auto& field : DynamicFieldProcessor::supportedFields())
            list.push_back(QString::fromStdString(field));
        return list;
    }();
    return tokens;
}

}  // namespace

std::vector<QStringView> splitContent(QStringView content) {
    std::vector<QStringView> parts;
    qsizetype from = 0;
    const qsizetype size = content.size();
    while (from < size) {
        const qsizetype open = content.indexOf(u'{', from);
        if (open < 0) {
            parts.push_back(content.mid(from));
            break;
        }
        if (open > from) parts.push_back(content.mid(from, open - from));
        const qsizetype close = content.indexOf(u'}', open);
        if (close < 0) {
            parts.push_back(content.mid(open));
            break;
        }
        parts.push_back(content.mid(open, close - open + 1));
        from = close + 1;
    }
    return parts;
}

bool isDynamicFieldToken(QStringView part) {
    const auto& fixed = fixedTokens();
    if (std::find(fixed.begin(), fixed.end(), part) != fixed.end()) return true;
    if (!part.endsWith(u'}')) return false;
    if (part.startsWith(u"{fill:")) return true;
    return part.startsWith(u"{date") && (part.contains(u'+') || part.contains(u'-'));
}

HighlightedContent highlightedContent(QStringView content) {
    HighlightedContent result;
    result.text.reserve(content.size());
    for (QStringView part : splitContent(content)) {
        if (isDynamicFieldToken(part)) {
            result.text += u' ';
            result.tokens.push_back({result.text.size(), part.size()});
            result.text += part;
            result.text += u' ';
        } else {
            result.text += part;
        }
    }
    return result;
}

}  // namespace sablix::contentHighlight
