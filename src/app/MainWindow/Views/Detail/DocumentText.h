#pragma once
#include <QObject>
#include <QQuickTextDocument>
#include <QString>
#include <QtQml/qqmlregistration.h>

namespace sablix {

// The text a text editor holds, exactly. A TextEdit's own text property turns no-break spaces
// into plain spaces and line separators into line breaks, which would change a snippet that
// was only looked at.
class DocumentText final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit DocumentText(QObject* parent = nullptr) : QObject(parent) {}

    // Every character as held, paragraph ends as "\n".
    Q_INVOKABLE static QString plainText(QQuickTextDocument* document);
};

}  // namespace sablix
