#pragma once
#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

namespace sablix {

// The one table from the symbol names the views are written with to freedesktop icon names, so
// the desktop's icon theme draws them. A symbol without an entry gives an empty name (no icon).
// The names are the fallback theme's one-colour ("-symbolic") icons, which the views tint; they
// show under a bare window manager too, where the desktop's own theme has none. Drawing them
// takes Qt's SVG plugins.
class SymbolIcons final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    static constexpr const char* kFallbackTheme = "Adwaita";

    // Where the desktop's theme lacks a name, it is looked up in the fallback theme. Call once,
    // after the application object exists and before any window loads.
    static void useFallbackTheme();

    explicit SymbolIcons(QObject* parent = nullptr) : QObject(parent) {}

    Q_INVOKABLE static QString iconName(const QString& symbol);
};

}  // namespace sablix
