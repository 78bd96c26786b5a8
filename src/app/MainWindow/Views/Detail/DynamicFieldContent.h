#pragma once
#include <QColor>
#include <QObject>
#include <QPointer>
#include <QQuickTextDocument>
#include <QString>
#include <QtQml/qqmlregistration.h>
#include <vector>

#include "MainWindow/ContentHighlight.h"

namespace sablix {

class TokenHighlighter;

// A snippet's content as the read-only view shows it: whether it holds dynamic fields, and the
// text with each field token set off. The text stays plain (nothing in a snippet is taken for
// markup); the tokens are coloured in place on the document of the text item that shows it.
class DynamicFieldContent : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString content READ content WRITE setContent NOTIFY contentChanged)
    Q_PROPERTY(bool hasDynamicFields READ hasDynamicFields NOTIFY contentChanged)
    Q_PROPERTY(QString highlightedText READ highlightedText NOTIFY contentChanged)
    Q_PROPERTY(QQuickTextDocument* textDocument READ textDocument WRITE setTextDocument NOTIFY textDocumentChanged)
    Q_PROPERTY(QColor tokenColor READ tokenColor WRITE setTokenColor NOTIFY tokenColorChanged)

public:
    explicit DynamicFieldContent(QObject* parent = nullptr);
    ~DynamicFieldContent() override;

    QString content() const { return content_; }
    void setContent(const QString& content);
    bool hasDynamicFields() const { return hasDynamicFields_; }
    QString highlightedText() const { return highlighted_.text; }
    QQuickTextDocument* textDocument() const { return textDocument_; }
    // The document that shows highlightedText; its token ranges get the token style.
    void setTextDocument(QQuickTextDocument* document);
    QColor tokenColor() const { return tokenColor_; }
    void setTokenColor(const QColor& color);

    const std::vector<contentHighlight::TokenRange>& tokenRanges() const { return highlighted_.tokens; }

signals:
    void contentChanged();
    void textDocumentChanged();
    void tokenColorChanged();

private:
    QString content_;
    bool hasDynamicFields_ = false;
    contentHighlight::HighlightedContent highlighted_;
    QPointer<QQuickTextDocument> textDocument_;
    QColor tokenColor_;
    QPointer<TokenHighlighter> highlighter_;
};

}  // namespace sablix
