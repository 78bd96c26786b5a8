#pragma once
#include <QString>
#include <QStringView>
#include <vector>

namespace sablix::contentHighlight {

// Cuts the content into plain runs and brace spans. A span runs from a "{" to the next "}"
// (braces do not nest); an unclosed "{" makes the rest of the text one final part. Empty parts
// are left out. Linear in the length of the text.
std::vector<QStringView> splitContent(QStringView content);

// Whether a part is a field the content view sets off: a fixed field token, a fill-in field or a
// date offset. Snippet references and other braced words are plain.
bool isDynamicFieldToken(QStringView part);

// A token's place in the highlighted text, in UTF-16 code units.
struct TokenRange {
    qsizetype start = 0;
    qsizetype length = 0;
};

// The content as the read-only view writes it out: each token with one space on either side,
// and where each token stands in that text.
struct HighlightedContent {
    QString text;
    std::vector<TokenRange> tokens;
};

HighlightedContent highlightedContent(QStringView content);

}  // namespace sablix::contentHighlight
