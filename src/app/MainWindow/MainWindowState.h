#pragma once
#include <QObject>
#include <QString>

#include "Tutorial/TutorialManager.h"
#include "platform/Defaults.h"

namespace sablix {

class MiddlePanelModel;
class RightPanelModel;
class TagSidebarModel;

// The main window's own state and the way it keeps its panes in step: the selected snippet goes
// to the detail pane, a change of tag refilters the list and clears the selection, and the tag
// column follows every change of the library. Lives on the main thread.
class MainWindowState final : public QObject {
    Q_OBJECT
    // The identifier of the selected snippet, empty for none.
    Q_PROPERTY(
        QString selectedSnippetID READ selectedSnippetID WRITE setSelectedSnippetID NOTIFY selectedSnippetIDChanged)
    // Whether the settings sheet is shown over the window.
    Q_PROPERTY(bool showingSettings READ showingSettings WRITE setShowingSettings NOTIFY showingSettingsChanged)

public:
    // Set once a snippet has been selected; the first-run welcome reads it.
    static constexpr const char* kHasDismissedWelcomeKey = TutorialManager::kHasDismissedWelcomeKey;

    MainWindowState(MiddlePanelModel& middlePanelModel, RightPanelModel& rightPanelModel,
                    TagSidebarModel& tagSidebarModel, platform::Defaults& userDefaults, QObject* parent = nullptr);

    QString selectedSnippetID() const { return selectedSnippetID_; }
    void setSelectedSnippetID(const QString& id);
    // No snippet selected any more, and none shown: the detail pane is free for the tutorial.
    void clearSelection();

    bool showingSettings() const { return showingSettings_; }
    void setShowingSettings(bool showing);
    // The toolbar's "Settings" button.
    Q_INVOKABLE void showSettings() { setShowingSettings(true); }

signals:
    void selectedSnippetIDChanged();
    void showingSettingsChanged();

private:
    void showSelectedSnippet();
    void tagSelectionChanged();

    MiddlePanelModel& middlePanelModel_;
    RightPanelModel& rightPanelModel_;
    TagSidebarModel& tagSidebarModel_;
    platform::Defaults& userDefaults_;
    QString selectedSnippetID_;
    bool showingSettings_ = false;
};

}  // namespace sablix
