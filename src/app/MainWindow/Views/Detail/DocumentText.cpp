#include "MainWindow/Views/Detail/DocumentText.h"

#include <QTextDocument>

namespace sablix {

QString DocumentText::plainText(QQuickTextDocument* document) {
    if (!document || !document->textDocument()) return {};
    QString text = document->textDocument()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

}  // namespace sablix
