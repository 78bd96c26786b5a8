#include "MainWindow/SnippetListModel.h"

#include <algorithm>

#include "MainWindow/SnippetValue.h"

namespace sablix {

SnippetListModel::SnippetListModel(QObject* parent) : QAbstractListModel(parent) {}

int SnippetListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

QVariant SnippetListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const SnippetItem& item = items_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case SnippetTitleRole: return QString::fromStdString(item.snippetTitle);
    case IdRole: return QString::fromStdString(item.id.toString());
    case SnippetRole: return QString::fromStdString(item.snippet);
    case TagsRole: return SnippetValue(item).tags();
    case SnippetPreviewRole: return QString::fromStdString(item.snippetPreview());
    case SnippetValueRole: return QVariant::fromValue(SnippetValue(item));
    case LeadingTagsRole: return leadingTags(item);
    case MoreTagsTextRole: return moreTagsText(item);
    default: return {};
    }
}

QHash<int, QByteArray> SnippetListModel::roleNames() const {
    return {
        {IdRole, "id"},
        {SnippetTitleRole, "snippetTitle"},
        {SnippetRole, "snippet"},
        {TagsRole, "tags"},
        {SnippetPreviewRole, "snippetPreview"},
        {SnippetValueRole, "snippetValue"},
        {LeadingTagsRole, "leadingTags"},
        {MoreTagsTextRole, "moreTagsText"},
    };
}

int SnippetListModel::indexOf(const QString& id) const {
    const auto uuid = platform::Uuid::fromString(id.toStdString());
    if (!uuid) return -1;
    const auto found = std::find_if(items_.begin(), items_.end(), [&](const SnippetItem& i) { return i.id == *uuid; });
    return found == items_.end() ? -1 : static_cast<int>(found - items_.begin());
}

void SnippetListModel::setItems(std::vector<SnippetItem> items) {
    const bool sameRows = std::equal(items.begin(), items.end(), items_.begin(), items_.end(),
                                     [](const SnippetItem& a, const SnippetItem& b) { return a.id == b.id; });
    if (!sameRows) {
        const bool countChanges = items.size() != items_.size();
        beginResetModel();
        items_ = std::move(items);
        endResetModel();
        if (countChanges) emit countChanged();
        return;
    }
    for (size_t row = 0; row < items.size(); ++row) {
        if (items[row] == items_[row]) continue;
        items_[row] = std::move(items[row]);
        const QModelIndex changed = index(static_cast<int>(row));
        emit dataChanged(changed, changed);
    }
}

QStringList SnippetListModel::leadingTags(const SnippetItem& item) {
    QStringList tags;
    for (size_t i = 0; i < item.tags.size() && i < kShownTagCount; ++i) tags << QString::fromStdString(item.tags[i]);
    return tags;
}

QString SnippetListModel::moreTagsText(const SnippetItem& item) {
    if (item.tags.size() <= kShownTagCount) return {};
    return "+" + QString::number(item.tags.size() - kShownTagCount);
}

}  // namespace sablix
