#include "MainWindow/MiddlePanelModel.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "Analytics/AnalyticsEvent.h"
#include "Analytics/AnalyticsTracking.h"
#include "Shell/AppNotifier.h"
#include "Snippets/SnippetSettings.h"
#include "Snippets/SnippetValidation.h"
#include "Sync/SyncService.h"
#include "platform/TextRules.h"
#include "posix/LogText.h"

namespace sablix {
namespace {

std::optional<std::string> optionalTag(const QString& tag) {
    if (tag.isEmpty()) return std::nullopt;
    return tag.toStdString();
}

std::string validationMessage(const SnippetValidationResult& result) {
    std::string message;
    for (const auto& error : result.errors) {
        if (!message.empty()) message += "\n";
        message += error.localizedDescription();
    }
    return message;
}

}  // namespace

MiddlePanelModel::MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings,
                                   const platform::Clock& clock, std::function<void()> refreshSnippetCache,
                                   AnalyticsTracking& analytics, AppNotifier& notifier, QObject* parent)
    : MiddlePanelModel(userDefaults, settings, clock, std::move(refreshSnippetCache), analytics, notifier, nullptr,
                       nullptr, parent, nullptr) {}

MiddlePanelModel::MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings,
                                   const platform::Clock& clock, std::function<void()> refreshSnippetCache,
                                   AnalyticsTracking& analytics, AppNotifier& notifier, SyncService& syncService,
                                   CurrentUserId currentUserId, QObject* parent, SnippetLibraryCache* libraryCache)
    : MiddlePanelModel(userDefaults, settings, clock, std::move(refreshSnippetCache), analytics, notifier, &syncService,
                       std::move(currentUserId), parent, libraryCache) {}

MiddlePanelModel::MiddlePanelModel(platform::Defaults& userDefaults, const SnippetSettings& settings,
                                   const platform::Clock& clock, std::function<void()> refreshSnippetCache,
                                   AnalyticsTracking& analytics, AppNotifier& notifier, SyncService* syncService,
                                   CurrentUserId currentUserId, QObject* parent, SnippetLibraryCache* libraryCache)
    : QObject(parent),
      userDefaults_(userDefaults),
      settings_(settings),
      snippetController_(userDefaults, settings, clock, libraryCache),
      refreshSnippetCache_(std::move(refreshSnippetCache)),
      analytics_(analytics),
      syncService_(syncService),
      currentUserId_(std::move(currentUserId)),
      logger_(platform::appLog("MiddlePanelModel")) {
    allItems_ = snippetController_.loadItems();
    seedStarterSnippetsIfNeeded();
    listModel_.setItems(allItems_);
    updateTagCounts();
    // Queued, so a reload never runs inside the code that changed the library.
    connect(&notifier, &AppNotifier::snippetsChangedExternally, this, &MiddlePanelModel::reloadCurrentSource,
            Qt::QueuedConnection);
}

// A first start gets the starter snippets so that ";addr", ";sig" and ";tyvm" work at once. A
// store that did not read cleanly, or a stored library that did not decode, may hold snippets
// this process could not read: those are never taken for a fresh installation.
void MiddlePanelModel::seedStarterSnippetsIfNeeded() {
    if (!allItems_.empty() || userDefaults_.boolean(kHasSeededStarterSnippetsKey)) return;
    if (const std::string error = userDefaults_.loadError(); !error.empty()) {
        logger_.error("Not storing the starter snippets: the stored settings did not read cleanly (%s)",
                      posix::escapedForLog(error).c_str());
        return;
    }
    if (!storedLibraryIsEmpty()) {
        logger_.error("Not storing the starter snippets: the stored snippet library could not be read");
        return;
    }
    std::vector<SnippetItem> starters = snippetController_.populateInitialItems();
    // Unstored starters would show snippets that do not exist and never be offered again.
    if (!snippetController_.saveItems(starters)) {
        logger_.error("Failed to store the starter snippets");
        return;
    }
    allItems_ = std::move(starters);
    userDefaults_.set(kHasSeededStarterSnippetsKey, true);
    if (refreshSnippetCache_) refreshSnippetCache_();
    analytics_.track(AnalyticsEvent::starterSnippetsSeeded);
}

bool MiddlePanelModel::storedLibraryIsEmpty() const {
    const auto stored = userDefaults_.object(SnippetController::kSavedSnippetItemsKey);
    if (!stored) return true;
    const auto* bytes = stored->asData();
    if (!bytes) return false;
    const auto array = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
    return array.is_array() && array.empty();
}

void MiddlePanelModel::setSelectedTag(const QString& tag) {
    const auto value = optionalTag(tag);
    if (value == selectedTag_) return;
    selectedTag_ = value;
    emit selectedTagChanged();
}

QVariantMap MiddlePanelModel::tagCountsMap() const {
    QVariantMap map;
    for (const auto& [tag, count] : tagCounts_) map.insert(QString::fromStdString(tag), count);
    return map;
}

int MiddlePanelModel::tagCount(const QString& tag) const {
    const auto found = tagCounts_.find(platform::text::lowercased(tag.toStdString()));
    return found == tagCounts_.end() ? 0 : found->second;
}

void MiddlePanelModel::setAllItems(std::vector<SnippetItem> items) {
    allItems_ = std::move(items);
    emit allItemsChanged();
}

std::vector<SnippetItem> MiddlePanelModel::loadCurrentSource() {
    if (currentTeamId_ && syncService_) return syncService_->getTeamSnippets(*currentTeamId_);
    return snippetController_.loadItems();
}

void MiddlePanelModel::switchSource(const std::optional<platform::Uuid>& teamId) {
    if (teamId && !syncService_) {
        logger_.error("This list cannot show team snippets; it keeps the personal library");
        return;
    }
    const bool changed = teamId != currentTeamId_;
    currentTeamId_ = teamId;
    if (changed) emit currentTeamIdChanged();
    setAllItems(loadCurrentSource());
    applyFilter({}, std::nullopt);
    updateTagCounts();
}

void MiddlePanelModel::reloadCurrentSource() {
    setAllItems(loadCurrentSource());
    refilter();
    updateTagCounts();
}

void MiddlePanelModel::filterItems(const QString& searchText, const QString& tag) {
    applyFilter(searchText.toStdString(), optionalTag(tag));
}

void MiddlePanelModel::applyFilter(const std::string& searchText, const std::optional<std::string>& tag) {
    if (searchText != searchText_) {
        searchText_ = searchText;
        emit searchTextChanged();
    }
    const std::optional<std::string> tagKey = tag ? std::optional(platform::text::lowercased(*tag)) : std::nullopt;
    const std::string searchKey = platform::text::lowercased(searchText);
    std::vector<SnippetItem> kept;
    kept.reserve(allItems_.size());
    for (const auto& item : allItems_) {
        if (tagKey && std::find(item.tags.begin(), item.tags.end(), *tagKey) == item.tags.end()) continue;
        if (!searchKey.empty() && !platform::text::contains(platform::text::lowercased(item.snippetTitle), searchKey) &&
            !platform::text::contains(platform::text::lowercased(item.snippet), searchKey))
            continue;
        kept.push_back(item);
    }
    listModel_.setItems(std::move(kept));
    emit filteredItemsChanged();
}

// What the controls show: the tag of the tag column and the text of the search field.
void MiddlePanelModel::refilter() { applyFilter(searchText_, selectedTag_); }

void MiddlePanelModel::updateTagCounts() {
    std::map<std::string, int> counts;
    for (const auto& item : allItems_)
        for (const auto& tag : item.tags) ++counts[platform::text::lowercased(tag)];
    tagCounts_ = std::move(counts);
    emit tagCountsChanged();
}

void MiddlePanelModel::libraryChanged() {
    emit allItemsChanged();
    refilter();
    updateTagCounts();
    if (refreshSnippetCache_) refreshSnippetCache_();
}

QString MiddlePanelModel::addItem(const SnippetValue& value) {
    if (!value.item()) return kNoSnippetMessage;
    if (isTeamMode()) return addTeamItem(*value.item());
    const SnippetItem& item = *value.item();
    // The library judges a snippet by itself and would replace one with an equal title; the
    // list knows the whole library and refuses the collision first.
    const SnippetValidationResult validation = item.validate(allItems_, settings_);
    if (!validation.isValid) return QString::fromStdString(validationMessage(validation));
    const auto result = snippetController_.addItemWithValidation(item, allItems_);
    switch (result.kind()) {
    case SnippetController::AddItemResult::Case::validationFailed:
        return QString::fromStdString(validationMessage(*result.validation()));
    case SnippetController::AddItemResult::Case::saveFailed: return kSaveFailedMessage;
    case SnippetController::AddItemResult::Case::success: break;
    }
    libraryChanged();
    analytics_.track(AnalyticsEvent::snippetCreate, {{kScopeProperty, kPersonalScope}});
    return {};
}

QString MiddlePanelModel::deleteItem(const SnippetValue& value) {
    if (!value.item()) return kNoSnippetMessage;
    // A listed team snippet is deleted from its team whatever it names: writing the listed team
    // snippets to the personal library would replace the user's own.
    if (isTeamMode()) return deleteTeamItem(*value.item());
    if (!snippetController_.deleteItem(*value.item(), allItems_)) return kDeleteFailedMessage;
    libraryChanged();
    analytics_.track(AnalyticsEvent::snippetDelete, {{kScopeProperty, kPersonalScope}});
    return {};
}

QString MiddlePanelModel::deleteTag(const QString& tag) {
    const std::string key = platform::text::lowercased(tag.toStdString());
    if (isTeamMode()) return deleteTeamTag(key);
    std::vector<SnippetItem> items = allItems_;
    for (auto& item : items)
        std::erase_if(item.tags, [&](const std::string& t) { return platform::text::lowercased(t) == key; });
    if (!snippetController_.saveItems(items)) {
        logger_.error("Failed to save the library after removing a tag");
        return kDeleteTagFailedMessage;
    }
    allItems_ = std::move(items);
    libraryChanged();
    return {};
}

bool MiddlePanelModel::storeTeamSnippet(const SnippetItem& item) {
    // The snippet and its queued change are written together, so no saved change misses the push.
    if (!syncService_->saveAndQueueChange(item, PendingOperation::create)) return false;
    const auto found =
        std::find_if(allItems_.begin(), allItems_.end(), [&](const SnippetItem& entry) { return entry.id == item.id; });
    if (found != allItems_.end())
        *found = item;
    else
        allItems_.push_back(item);
    return true;
}

QString MiddlePanelModel::addTeamItem(SnippetItem item) {
    item.teamId = currentTeamId_;
    item.ownerId = currentUserId_ ? currentUserId_() : std::nullopt;
    item.visibility = SnippetVisibility::team;
    if (!storeTeamSnippet(item)) return kTeamSaveFailedMessage;
    libraryChanged();
    analytics_.track(AnalyticsEvent::snippetCreate, {{kScopeProperty, kTeamScope}});
    return {};
}

QString MiddlePanelModel::deleteTeamItem(SnippetItem item) {
    // The change goes to the shown team, whose list held the snippet.
    if (!item.teamId) item.teamId = currentTeamId_;
    if (!syncService_->saveAndQueueChange(item, PendingOperation::remove)) return kTeamDeleteFailedMessage;
    std::erase_if(allItems_, [&](const SnippetItem& entry) { return entry.id == item.id; });
    libraryChanged();
    analytics_.track(AnalyticsEvent::snippetDelete, {{kScopeProperty, kTeamScope}});
    return {};
}

// Each changed snippet is saved and queued as an edit is, so the next pull does not bring the tag
// back; a snippet that cannot be written keeps its tag here too.
QString MiddlePanelModel::deleteTeamTag(const std::string& key) {
    bool complete = true;
    for (SnippetItem item : std::vector<SnippetItem>(allItems_)) {
        const auto removed =
            std::erase_if(item.tags, [&](const std::string& t) { return platform::text::lowercased(t) == key; });
        if (removed == 0) continue;
        if (!item.teamId) item.teamId = currentTeamId_;
        if (!storeTeamSnippet(item)) complete = false;
    }
    libraryChanged();
    return complete ? QString() : QString(kTeamDeleteTagFailedMessage);
}

}  // namespace sablix
