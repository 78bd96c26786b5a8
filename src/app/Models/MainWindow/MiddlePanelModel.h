#pragma once
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Controllers/SnippetController.h"
#include "Models/MainWindow/SnippetListModel.h"
#include "Models/MainWindow/SnippetValue.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

class AnalyticsTracking;
class AppNotifier;
class SnippetSettings;

// The snippets behind the main window's list: every snippet of the current source, the ones the
// list shows after the tag and search filters, and the number of snippets under each tag. The
// one way the window changes the library; each change is stored before the lists show it and
// makes the expansion engine rebuild its triggers. Lives on the main thread.
class MiddlePanelModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QAbstractListModel* listModel READ listModel CONSTANT)
    Q_PROPERTY(int allItemsCount READ allItemsCount NOTIFY allItemsChanged)
    Q_PROPERTY(QString selectedTag READ selectedTag WRITE setSelectedTag NOTIFY selectedTagChanged)
    Q_PROPERTY(QString searchText READ searchText NOTIFY searchTextChanged)
    Q_PROPERTY(QVariantMap tagCounts READ tagCountsMap NOTIFY tagCountsChanged)
    Q_PROPERTY(bool isTeamMode READ isTeamMode NOTIFY currentTeamIdChanged)

public:
    // Set once the starter snippets have been stored; never cleared.
    static constexpr const char* kHasSeededStarterSnippetsKey = "has_seeded_starter_snippets";
    static constexpr const char* kScopeProperty = "scope";
    static constexpr const char* kPersonalScope = "personal";
    static constexpr const char* kNoSnippetMessage = "No snippet was given.";
    static constexpr const char* kSaveFailedMessage =
        "The snippet could not be saved: the snippet library could not be written.";
    static constexpr const char* kDeleteFailedMessage =
        "The snippet could not be deleted: the snippet library could not be written.";
    static constexpr const char* kDeleteTagFailedMessage =
        "The tag could not be removed: the snippet library could not be written.";

    // Loads the personal library, and stores the starter snippets on a first start (see
    // seedStarterSnippetsIfNeeded). settings govern validation of what is saved;
    // refreshSnippetCache makes the expansion engine read the library again.
    MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings,
                     std::function<void()> refreshSnippetCache, AnalyticsTracking& analytics, AppNotifier& notifier,
                     QObject* parent = nullptr);

    const std::vector<SnippetItem>& allItems() const { return allItems_; }
    const std::vector<SnippetItem>& filteredItems() const { return listModel_.items(); }
    SnippetListModel* listModel() { return &listModel_; }
    int allItemsCount() const { return static_cast<int>(allItems_.size()); }
    // Empty when no tag is selected.
    QString selectedTag() const { return QString::fromStdString(selectedTag_.value_or("")); }
    void setSelectedTag(const QString& tag);
    // The search text last handed to filterItems, which the model's own refilters apply again.
    QString searchText() const { return QString::fromStdString(searchText_); }
    // Lower-cased tag -> number of tag entries of allItems under it.
    const std::map<std::string, int>& tagCounts() const { return tagCounts_; }
    QVariantMap tagCountsMap() const;
    const std::optional<platform::Uuid>& currentTeamId() const { return currentTeamId_; }
    bool isTeamMode() const { return currentTeamId_.has_value(); }

    // How many snippets carry the tag, whatever its case.
    Q_INVOKABLE int tagCount(const QString& tag) const;

    // Reads the current source again and refilters as the controls show.
    Q_INVOKABLE void reloadCurrentSource();
    // The tag filter keeps snippets with a tag equal, as stored, to the given tag lower-cased (an
    // empty tag keeps all); the search keeps snippets whose title or content contains the text
    // ignoring case.
    Q_INVOKABLE void filterItems(const QString& searchText, const QString& tag);
    // Each answers "" when it took effect, otherwise the reason for the user; then the model and
    // the library are as they were.
    // Stores a new or edited snippet, refused when it fails validation against all others.
    Q_INVOKABLE QString addItem(const sablix::SnippetValue& item);
    Q_INVOKABLE QString deleteItem(const sablix::SnippetValue& item);
    // Removes the tag, whatever its case, from every snippet.
    Q_INVOKABLE QString deleteTag(const QString& tag);

    void updateTagCounts();

signals:
    void allItemsChanged();
    void filteredItemsChanged();
    void selectedTagChanged();
    void searchTextChanged();
    void tagCountsChanged();
    void currentTeamIdChanged();

private:
    void seedStarterSnippetsIfNeeded();
    bool storedLibraryIsEmpty() const;
    void setAllItems(std::vector<SnippetItem> items);
    void applyFilter(const std::string& searchText, const std::optional<std::string>& tag);
    void refilter();
    void libraryChanged();

    platform::Defaults& userDefaults_;
    const SnippetSettings& settings_;
    SnippetController snippetController_;
    std::function<void()> refreshSnippetCache_;
    AnalyticsTracking& analytics_;
    platform::Log logger_;

    std::vector<SnippetItem> allItems_;
    SnippetListModel listModel_;
    std::optional<std::string> selectedTag_;
    std::string searchText_;
    std::map<std::string, int> tagCounts_;
    std::optional<platform::Uuid> currentTeamId_;
};

}  // namespace sablix
