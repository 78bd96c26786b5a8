#pragma once
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Snippets/SnippetController.h"
#include "MainWindow/SnippetListModel.h"
#include "MainWindow/SnippetValue.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/Uuid.h"

namespace sablix {

class AnalyticsTracking;
class AppNotifier;
class SnippetSettings;
class SyncService;

// The snippets behind the main window's list: every snippet of the current source (the personal
// library, or the cached snippets of one team), the ones the list shows after the tag and search
// filters, and the number of snippets under each tag. The one way the window changes snippets;
// each change is stored (a team's together with its queued sync change) before the lists show it
// and makes the expansion engine rebuild its triggers. Lives on the main thread.
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
    static constexpr const char* kTeamScope = "team";
    static constexpr const char* kTeamSaveFailedMessage =
        "The snippet could not be saved: the team's snippets could not be written.";
    static constexpr const char* kTeamDeleteFailedMessage =
        "The snippet could not be deleted: the team's snippets could not be written.";
    static constexpr const char* kTeamDeleteTagFailedMessage =
        "The tag could not be removed from every snippet: the team's snippets could not be written.";

    // The signed-in user's identifier, none while signed out.
    using CurrentUserId = std::function<std::optional<platform::Uuid>()>;

    // Loads the personal library, and stores the starter snippets on a first start (see
    // seedStarterSnippetsIfNeeded). settings govern validation of what is saved;
    // the clock dates the starter snippets; refreshSnippetCache makes the expansion engine read
    // the library again.
    MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings, const platform::Clock& clock,
                     std::function<void()> refreshSnippetCache, AnalyticsTracking& analytics, AppNotifier& notifier,
                     QObject* parent = nullptr);
    // Also shows teams: their snippets are read from and written through syncService, and saved
    // team snippets name currentUserId as their owner. A model made without them only shows the
    // personal library.
    MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings, const platform::Clock& clock,
                     std::function<void()> refreshSnippetCache, AnalyticsTracking& analytics, AppNotifier& notifier,
                     SyncService& syncService, CurrentUserId currentUserId, QObject* parent = nullptr,
                     SnippetLibraryCache* libraryCache = nullptr);

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

    // Shows the personal library (none) or the team's snippets, unfiltered.
    void switchSource(const std::optional<platform::Uuid>& teamId);
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
    MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings, const platform::Clock& clock,
                     std::function<void()> refreshSnippetCache, AnalyticsTracking& analytics, AppNotifier& notifier,
                     SyncService* syncService, CurrentUserId currentUserId, QObject* parent,
                     SnippetLibraryCache* libraryCache);
    void seedStarterSnippetsIfNeeded();
    bool storedLibraryIsEmpty() const;
    void setAllItems(std::vector<SnippetItem> items);
    void applyFilter(const std::string& searchText, const std::optional<std::string>& tag);
    void refilter();
    void libraryChanged();
    std::vector<SnippetItem> loadCurrentSource();
    QString addTeamItem(SnippetItem item);
    QString deleteTeamItem(SnippetItem item);
    QString deleteTeamTag(const std::string& key);
    // Stores the snippet in the shown team's cache with its queued change, then puts it in
    // place of the entry with its id (or at the end).
    bool storeTeamSnippet(const SnippetItem& item);

    platform::Defaults& userDefaults_;
    const SnippetSettings& settings_;
    SnippetController snippetController_;
    std::function<void()> refreshSnippetCache_;
    AnalyticsTracking& analytics_;
    SyncService* syncService_ = nullptr;
    CurrentUserId currentUserId_;
    platform::Log logger_;

    std::vector<SnippetItem> allItems_;
    SnippetListModel listModel_;
    std::optional<std::string> selectedTag_;
    std::string searchText_;
    std::map<std::string, int> tagCounts_;
    std::optional<platform::Uuid> currentTeamId_;
};

}  // namespace sablix
