#include <deque>
#include <gtest/gtest.h>

#include "Models/AppNotifier.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Models/Tutorial/TutorialManager.h"
#include "Views/SnippetDetailPresenter.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"

using sablix::SnippetDetailPresenter;
using sablix::SnippetValue;
using sablix::TutorialModel;
using sablix::TutorialStep;
using Content = SnippetDetailPresenter::Content;

namespace {

class ImmediateQueue final : public platform::Executor {
public:
    void async(platform::Task task) override { task(); }
    void asyncAfter(std::chrono::milliseconds, platform::Task task) override { task(); }
};

}  // namespace

// The detail pane gives each showing of the tutorial a fresh start and follows its endings.
TEST(TutorialHost, EachShowingStartsAtTheWelcomeAndEndsInThePane) {
    platform::MemoryDefaults defaults;
    sablix::SnippetSettings settings{defaults};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    sablix::MiddlePanelModel middle{defaults, settings, [] {}, analytics, notifier};
    platform::FakeClock clock;
    sablix::RightPanelModel right{clock};
    sablix::TutorialManager manager{defaults, analytics, notifier};
    ImmediateQueue mainQueue;
    SnippetDetailPresenter presenter{right, middle, settings, {}, manager.shouldShowTutorial(), [&] {
                                         return std::make_unique<TutorialModel>(TutorialModel::Collaborators{
                                             manager, defaults, analytics, mainQueue, clock});
                                     }};

    ASSERT_EQ(presenter.content(), Content::Tutorial);
    ASSERT_TRUE(presenter.tutorial());
    presenter.tutorial()->getStarted();
    presenter.tutorial()->setPracticeText(";addr");
    presenter.tutorial()->next();
    ASSERT_EQ(presenter.tutorial()->currentStep(), TutorialStep::complete);

    // Shown again after a snippet was on screen, it is a new tutorial.
    right.updateSelectedItem(SnippetValue(middle.allItems().front()));
    right.updateSelectedItem(SnippetValue());
    ASSERT_EQ(presenter.content(), Content::Tutorial);
    EXPECT_EQ(presenter.tutorial()->currentStep(), TutorialStep::welcome);
    EXPECT_TRUE(presenter.tutorial()->practiceText().isEmpty());

    presenter.tutorial()->skip();
    EXPECT_EQ(presenter.content(), Content::Placeholder);
    EXPECT_FALSE(manager.shouldShowTutorial());

    // A template opens in the editor as a new snippet, stored nowhere yet.
    manager.resetTutorial();
    presenter.replayTutorial();
    ASSERT_EQ(presenter.content(), Content::Tutorial);
    presenter.tutorial()->getStarted();
    presenter.tutorial()->setPracticeText(";addr");
    presenter.tutorial()->next();
    presenter.tutorial()->chooseTemplate(2);
    ASSERT_EQ(presenter.content(), Content::Editor);
    EXPECT_EQ(presenter.editor()->snippetTitle(), "thanks");
    EXPECT_TRUE(right.isEditingNewSnippet());
    EXPECT_EQ(middle.allItems().size(), 3u);
    EXPECT_FALSE(manager.shouldShowTutorial());
}
