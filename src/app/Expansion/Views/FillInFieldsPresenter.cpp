#include "Expansion/Views/FillInFieldsPresenter.h"

#include <algorithm>

namespace sablix {

FillInFieldsPresenter::FillInFieldsPresenter(QStringList fieldNames, QObject* parent)
    : QObject(parent), fieldNames_(std::move(fieldNames)) {
    for (const auto& name : fieldNames_) values_[name];
}

bool FillInFieldsPresenter::allFieldsFilled() const {
    return std::all_of(values_.begin(), values_.end(),
                       [](const auto& entry) { return !entry.second.trimmed().isEmpty(); });
}

void FillInFieldsPresenter::setValue(const QString& name, const QString& text) {
    const auto field = values_.find(name);
    if (field == values_.end() || field->second == text) return;
    const bool wasFilled = allFieldsFilled();
    field->second = text;
    if (allFieldsFilled() != wasFilled) emit allFieldsFilledChanged();
}

void FillInFieldsPresenter::insert() {
    if (!allFieldsFilled()) return;
    FillInPresenter::Values values;
    for (const auto& [name, text] : values_) values[name.toStdString()] = text.toStdString();
    emit inserted(values);
}

void FillInFieldsPresenter::cancel() { emit cancelled(); }

}  // namespace sablix
