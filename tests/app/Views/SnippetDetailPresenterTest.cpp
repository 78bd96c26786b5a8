#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Models/AppNotifier.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Views/SnippetDetailPresenter.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"

using sablix::SnippetDetailPresenter;
using sablix::SnippetItem;
using sablix::SnippetValue;
using Content = SnippetDetailPresenter::Content;

TEST(SnippetDetailPresenter, ShowsEditorSnippetTutorialOrPlaceholderInThatOrder) {
    platform::MemoryDefaults defaults;
    platform::MemoryDefaults settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    sablix::MiddlePanelModel middle{defaults, settings, [] {}, analytics, notifier};
    platform::FakeClock clock;
    sablix::RightPanelModel right{clock};
    SnippetDetailPresenter presenter{right, middle, settings, {}, true};
    QSignalSpy selections(&presenter, &SnippetDetailPresenter::selectedSnippetIDWritten);
    const SnippetValue addr(middle.allItems().front());

    EXPECT_EQ(presenter.content(), Content::Tutorial);
    right.updateSelectedItem(addr);
    EXPECT_EQ(presenter.content(), Content::Snippet);

    // The editor wins over a selection, and the tutorial asked for again waits until it closes.
    right.showNewSnippetView();
    ASSERT_EQ(presenter.content(), Content::Editor);
    presenter.editor()->setSnippetTitle("draft");
    EXPECT_EQ(right.editingSnippet().snippetTitle(), "draft") << "the working copy follows the editor";
    presenter.replayTutorial();
    EXPECT_EQ(presenter.content(), Content::Editor);
    // "New Snippet" again while the editor is open starts over on a blank snippet.
    const QString firstId = right.editingSnippet().id();
    right.showNewSnippetView();
    EXPECT_EQ(presenter.editor()->snippetTitle(), "");
    EXPECT_NE(right.editingSnippet().id(), firstId);
    presenter.editor()->cancel();
    EXPECT_EQ(presenter.content(), Content::Snippet) << "Cancel shows the selection again";

    right.updateSelectedItem(SnippetValue());
    EXPECT_EQ(presenter.content(), Content::Tutorial);
    presenter.completeTutorial();
    EXPECT_EQ(presenter.content(), Content::Placeholder);

    // The tutorial's starting point opens the editor prefilled; the tutorial is done with.
    presenter.replayTutorial();
    EXPECT_EQ(presenter.content(), Content::Tutorial);
    presenter.createSnippetFromTutorial(SnippetValue(SnippetItem(platform::Uuid::generate(), "hello", "Hello!", {})));
    ASSERT_EQ(presenter.content(), Content::Editor);
    EXPECT_EQ(presenter.editor()->snippetTitle(), "hello");
    EXPECT_TRUE(presenter.editor()->canSave());
    presenter.editor()->cancel();
    EXPECT_EQ(presenter.content(), Content::Placeholder);

    // A delete the library could not write leaves the snippet shown and says why.
    right.updateSelectedItem(addr);
    defaults.setFailWrites(true);
    presenter.deleteSelected();
    EXPECT_EQ(presenter.content(), Content::Snippet);
    EXPECT_EQ(presenter.deleteError(), sablix::MiddlePanelModel::kDeleteFailedMessage);
    EXPECT_EQ(middle.allItems().size(), 3u);
    EXPECT_EQ(selections.count(), 0);
    defaults.setFailWrites(false);
    presenter.deleteSelected();
    EXPECT_EQ(presenter.content(), Content::Placeholder);
    EXPECT_EQ(middle.allItems().size(), 2u);
    ASSERT_EQ(selections.count(), 1);
    EXPECT_EQ(selections[0][0].toString(), "");
}
