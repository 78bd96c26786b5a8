#include "MainWindow/RightPanelModel.h"

namespace sablix {

RightPanelModel::RightPanelModel(const platform::Clock& clock, QObject* parent)
    : QObject(parent), clock_(clock), editingSnippet_(blankSnippet()) {}

SnippetValue RightPanelModel::blankSnippet() const {
    return SnippetValue(SnippetItem(platform::Uuid::generate(), "", "", {}, clock_));
}

void RightPanelModel::setIsEditingNewSnippet(bool editing) {
    if (editing == isEditingNewSnippet_) return;
    isEditingNewSnippet_ = editing;
    emit isEditingNewSnippetChanged();
}

void RightPanelModel::setEditingSnippet(const SnippetValue& snippet) {
    if (snippet == editingSnippet_) return;
    editingSnippet_ = snippet;
    emit editingSnippetChanged();
}

void RightPanelModel::updateSelectedItem(const SnippetValue& item) {
    if (!item.isNull()) setIsEditingNewSnippet(false);
    selectedItem_ = item;
    emit selectedItemChanged();
}

void RightPanelModel::showNewSnippetView() {
    editingSnippet_ = blankSnippet();
    emit editingSnippetChanged();
    setIsEditingNewSnippet(true);
}

}  // namespace sablix
