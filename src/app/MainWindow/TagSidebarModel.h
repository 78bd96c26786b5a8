#pragma once
#include <QObject>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "Snippets/SnippetItem.h"

namespace sablix {

class MiddlePanelModel;

// What the tag column shows: the distinct tags of the listed snippets and the tag the user
// chose. Lives on the main thread.
class TagSidebarModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString selectedTag READ selectedTag WRITE setSelectedTag NOTIFY selectedTagChanged)
    Q_PROPERTY(QStringList availableTags READ availableTags NOTIFY availableTagsChanged)

public:
    // The tags are read from the list model's snippets.
    explicit TagSidebarModel(const MiddlePanelModel& middlePanelModel, QObject* parent = nullptr);

    // Empty when no tag is chosen (all snippets).
    QString selectedTag() const { return selectedTag_; }
    void setSelectedTag(const QString& tag);
    QStringList availableTags() const { return availableTags_; }

    // The distinct tags as stored (tags differing in case stay apart), sorted by code point.
    Q_INVOKABLE void updateAvailableTags();
    void updateAvailableTags(const std::vector<SnippetItem>& items);

    // A tag as a row names it: each word's first letter upper-case, the rest lower-case.
    Q_INVOKABLE static QString displayName(const QString& tag);

signals:
    void selectedTagChanged();
    void availableTagsChanged();

private:
    const MiddlePanelModel& middlePanelModel_;
    QString selectedTag_;
    QStringList availableTags_;
};

}  // namespace sablix
