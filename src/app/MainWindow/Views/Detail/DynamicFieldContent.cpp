#include "MainWindow/Views/Detail/DynamicFieldContent.h"

#include <QFontDatabase>
#include <QQuickTextDocument>
#include <QSyntaxHighlighter>
#include <QTextDocument>
#include <algorithm>

#include "Snippets/DynamicFieldProcessor.h"

namespace sablix {

// Colours the token ranges of the shown text, block by block as the document lays them out.
class TokenHighlighter final : public QSyntaxHighlighter {
public:
    TokenHighlighter(QTextDocument* document, const DynamicFieldContent& content)
        : QSyntaxHighlighter(document), content_(content) {
        format_.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    }

    void setColor(const QColor& color) {
        format_.setForeground(color);
        rehighlight();
    }

protected:
    void highlightBlock(const QString& text) override {
        const auto& ranges = content_.tokenRanges();
        const qsizetype blockStart = currentBlock().position();
        const qsizetype blockEnd = blockStart + text.size();
        auto range = std::lower_bound(ranges.begin(), ranges.end(), blockStart,
                                      [](const auto& r, qsizetype at) { return r.start + r.length <= at; });
        for (; range != ranges.end() && range->start < blockEnd; ++range) {
            const qsizetype from = std::max(range->start, blockStart);
            const qsizetype to = std::min(range->start + range->length, blockEnd);
            setFormat(static_cast<int>(from - blockStart), static_cast<int>(to - from), format_);
        }
    }

private:
    const DynamicFieldContent& content_;
    QTextCharFormat format_;
};

DynamicFieldContent::DynamicFieldContent(QObject* parent) : QObject(parent) {}

DynamicFieldContent::~DynamicFieldContent() { delete highlighter_.data(); }

void DynamicFieldContent::setContent(const QString& content) {
    if (content == content_) return;
    content_ = content;
    hasDynamicFields_ = DynamicFieldProcessor::containsDynamicFields(content.toStdString());
    // A text document keeps CR LF as one paragraph end; the token places must count it so.
    QString shown = content;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    highlighted_ =
        hasDynamicFields_ ? contentHighlight::highlightedContent(shown) : contentHighlight::HighlightedContent{};
    emit contentChanged();
}

void DynamicFieldContent::setTextDocument(QQuickTextDocument* document) {
    if (document == textDocument_) return;
    delete highlighter_.data();
    textDocument_ = document;
    if (document) {
        highlighter_ = new TokenHighlighter(document->textDocument(), *this);
        highlighter_->setColor(tokenColor_);
    }
    emit textDocumentChanged();
}

void DynamicFieldContent::setTokenColor(const QColor& color) {
    if (color == tokenColor_) return;
    tokenColor_ = color;
    if (highlighter_) highlighter_->setColor(color);
    emit tokenColorChanged();
}

}  // namespace sablix
