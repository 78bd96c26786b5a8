#include "MainWindow/MainWindowState.h"

#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/TagSidebarModel.h"

namespace sablix {

MainWindowState::MainWindowState(MiddlePanelModel& middlePanelModel, RightPanelModel& rightPanelModel,
                                 TagSidebarModel& tagSidebarModel, platform::Defaults& userDefaults, QObject* parent)
    : QObject(parent),
      middlePanelModel_(middlePanelModel),
      rightPanelModel_(rightPanelModel),
      tagSidebarModel_(tagSidebarModel),
      userDefaults_(userDefaults) {
    connect(this, &MainWindowState::selectedSnippetIDChanged, this, &MainWindowState::showSelectedSnippet);
    connect(&tagSidebarModel_, &TagSidebarModel::selectedTagChanged, this, &MainWindowState::tagSelectionChanged);
    connect(&middlePanelModel_, &MiddlePanelModel::allItemsChanged, this,
            [this] { tagSidebarModel_.updateAvailableTags(middlePanelModel_.allItems()); });
    tagSidebarModel_.updateAvailableTags(middlePanelModel_.allItems());
}

void MainWindowState::setSelectedSnippetID(const QString& id) {
    if (id == selectedSnippetID_) return;
    selectedSnippetID_ = id;
    emit selectedSnippetIDChanged();
}

void MainWindowState::clearSelection() {
    setSelectedSnippetID(QString());
    rightPanelModel_.updateSelectedItem(SnippetValue());
}

// Only a snippet the list shows is shown: one filtered out since clears the detail pane.
void MainWindowState::showSelectedSnippet() {
    const int row = middlePanelModel_.listModel()->indexOf(selectedSnippetID_);
    if (row < 0) {
        rightPanelModel_.updateSelectedItem(SnippetValue());
        return;
    }
    rightPanelModel_.updateSelectedItem(SnippetValue(middlePanelModel_.filteredItems()[static_cast<size_t>(row)]));
    userDefaults_.set(kHasDismissedWelcomeKey, true);
}

void MainWindowState::tagSelectionChanged() {
    const QString tag = tagSidebarModel_.selectedTag();
    // The list's own refilters keep the tag the column shows.
    middlePanelModel_.setSelectedTag(tag);
    middlePanelModel_.filterItems(QString(), tag);
    setSelectedSnippetID(QString());
}

void MainWindowState::setShowingSettings(bool showing) {
    if (showing == showingSettings_) return;
    showingSettings_ = showing;
    emit showingSettingsChanged();
}

}  // namespace sablix
