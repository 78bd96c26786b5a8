#pragma once
#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

namespace sablix {

// The one table from the symbol names the views are written with to freedesktop icon names, so
// the desktop's icon theme draws them. A symbol without an entry gives an empty name (no icon).
class SymbolIcons final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit SymbolIcons(QObject* parent = nullptr) : QObject(parent) {}

    Q_INVOKABLE static QString iconName(const QString& symbol);
};

}  // namespace sablix
