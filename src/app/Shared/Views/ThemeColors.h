#pragma once
#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

namespace sablix {

// The application's named palette colours; one instance serves every view of a QML engine. Each
// colour has a light and a dark value, chosen by the application palette's window colour.
class ThemeColors final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QColor secondary READ secondary CONSTANT)
    Q_PROPERTY(QColor foreground READ foreground CONSTANT)
    Q_PROPERTY(QColor warning READ warning CONSTANT)
    Q_PROPERTY(QColor success READ success CONSTANT)
    Q_PROPERTY(QColor error READ error CONSTANT)
    Q_PROPERTY(bool dark READ isDark CONSTANT)

public:
    explicit ThemeColors(QObject* parent = nullptr) : QObject(parent) {}

    // Asset "SecondaryBackground": the rounded background of text fields, rows under the pointer.
    static QColor secondary();
    // Asset "Foreground".
    static QColor foreground();
    // Asset "Warning".
    static QColor warning();
    // Asset "Success".
    static QColor success();
    // Asset "Error".
    static QColor error();

    // Whether the application palette is a dark one.
    static bool isDark();
};

}  // namespace sablix
