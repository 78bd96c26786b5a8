#pragma once
#include <QAbstractListModel>
#include <vector>

#include "Snippets/SnippetItem.h"

namespace sablix {

// The snippets a list shows, one row each, in the order given. Rows are read on demand, so a
// view builds only the rows it displays.
class SnippetListModel final : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        SnippetTitleRole,
        SnippetRole,
        TagsRole,
        SnippetPreviewRole,
        SnippetValueRole,
        LeadingTagsRole,   // the tags a row shows as chips
        MoreTagsTextRole,  // "+N" for the tags beyond them, empty when there are none
    };

    // How many tags a row shows before it counts the rest.
    static constexpr size_t kShownTagCount = 3;

    explicit SnippetListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return static_cast<int>(items_.size()); }
    const std::vector<SnippetItem>& items() const { return items_; }
    // The row of the snippet with this identifier, -1 when it is not listed.
    Q_INVOKABLE int indexOf(const QString& id) const;

    // A list with the same identifiers in the same order updates its rows in place, so a view
    // keeps its scroll position when a snippet is edited; any other list resets the model.
    void setItems(std::vector<SnippetItem> items);

    static QStringList leadingTags(const SnippetItem& item);
    static QString moreTagsText(const SnippetItem& item);

signals:
    void countChanged();

private:
    std::vector<SnippetItem> items_;
};

}  // namespace sablix
