#include "MainWindow/TagSidebarModel.h"

#include <algorithm>

#include "MainWindow/MiddlePanelModel.h"

namespace sablix {

TagSidebarModel::TagSidebarModel(const MiddlePanelModel& middlePanelModel, QObject* parent)
    : QObject(parent), middlePanelModel_(middlePanelModel) {}

void TagSidebarModel::setSelectedTag(const QString& tag) {
    if (tag == selectedTag_) return;
    selectedTag_ = tag;
    emit selectedTagChanged();
}

void TagSidebarModel::updateAvailableTags() { updateAvailableTags(middlePanelModel_.allItems()); }

void TagSidebarModel::updateAvailableTags(const std::vector<SnippetItem>& items) {
    // UTF-8 bytes order as code points do; UTF-16 units would not, beyond the basic plane.
    std::vector<std::string> tags;
    for (const auto& item : items) tags.insert(tags.end(), item.tags.begin(), item.tags.end());
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    QStringList available;
    available.reserve(static_cast<qsizetype>(tags.size()));
    for (const auto& tag : tags) available << QString::fromStdString(tag);
    if (available == availableTags_) return;
    availableTags_ = std::move(available);
    emit availableTagsChanged();
}

QString TagSidebarModel::displayName(const QString& tag) {
    // Words are separated by white space only, so "e-mail" reads "E-mail".
    QString name;
    name.reserve(tag.size());
    bool wordStart = true;
    for (qsizetype i = 0; i < tag.size();) {
        const qsizetype length = tag.at(i).isHighSurrogate() && i + 1 < tag.size() ? 2 : 1;
        const QString character = tag.mid(i, length);
        const bool space = character.size() == 1 && character.at(0).isSpace();
        name += space ? character : wordStart ? character.toUpper() : character.toLower();
        wordStart = space;
        i += length;
    }
    return name;
}

}  // namespace sablix
