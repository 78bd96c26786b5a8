#pragma once
#include <QObject>
#include <QStringList>
#include <QtQml/qqmlregistration.h>
#include <map>

#include "Expansion/FillInPresenter.h"

namespace sablix {

// What one fill-in dialog knows and decides, behind its view: the field names, the text typed
// into each, and whether the user inserted or gave up. The view only shows it and forwards input.
class FillInFieldsPresenter final : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each dialog's form is made by its controller.")
    Q_PROPERTY(QStringList fieldNames READ fieldNames CONSTANT)
    Q_PROPERTY(bool allFieldsFilled READ allFieldsFilled NOTIFY allFieldsFilledChanged)

public:
    explicit FillInFieldsPresenter(QStringList fieldNames, QObject* parent = nullptr);

    QStringList fieldNames() const { return fieldNames_; }
    // Blanks alone do not fill a field. With no fields at all, the form is complete.
    bool allFieldsFilled() const;

    Q_INVOKABLE void setValue(const QString& name, const QString& text);
    // Answers with every field's text as typed, once all are filled; otherwise does nothing.
    Q_INVOKABLE void insert();
    Q_INVOKABLE void cancel();

signals:
    void inserted(const sablix::FillInPresenter::Values& values);
    void cancelled();
    void allFieldsFilledChanged();

private:
    QStringList fieldNames_;
    std::map<QString, QString> values_;
};

}  // namespace sablix
