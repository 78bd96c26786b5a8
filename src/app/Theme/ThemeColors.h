#pragma once
#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

namespace sablix {

// The application's named palette colours; one instance serves every view of a QML engine.
class ThemeColors final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QColor secondary READ secondary CONSTANT)

public:
    explicit ThemeColors(QObject* parent = nullptr) : QObject(parent) {}

    // Asset "SecondaryBackground": the rounded background of text fields.
    static QColor secondary();
};

}  // namespace sablix
