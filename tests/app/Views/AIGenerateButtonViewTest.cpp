#include <gtest/gtest.h>

#include "Models/AppNotifier.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Views/SnippetDetailPresenter.h"
#include "ViewTest.h"
#include "app/Models/Generation/GenerationStack.h"
#include "platform/MemoryDefaults.h"

namespace {

// The snippet editor with its generate control over the real generation path against the test
// backend, wired as the application wires it.
class AIGenerateButtonViewTest : public viewtest::ViewTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(stack.start());
        load(view, "SnippetDetailView.qml", &presenter, {600, 800});
        right.showNewSnippetView();
    }
    QQuickWindow* window() override { return &view; }

    // Which of the row's controls show: "generate", "regenerate" or "stop" (with its spinner).
    std::string row() {
        if (shows("stopButton") && shows("generationSpinner")) return "stop";
        if (shows("regenerateButton")) return "regenerate";
        return shows("generateButton") ? "generate" : "none";
    }
    QString content() { return text("contentEditor"); }
    QString error() { return shows("generationError") ? text("generationError") : QString(); }

    generationtest::GenerationStack stack;
    platform::MemoryDefaults defaults, settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    sablix::MiddlePanelModel middle{defaults, settings, [] {}, analytics, notifier};
    sablix::RightPanelModel right{stack.clock};
    sablix::SnippetDetailPresenter presenter{
        right, middle, settings, {}, false, {}, [this](QObject* parent) { return stack.makeModel(parent); }};
    QQuickView view;
};

}  // namespace

TEST_F(AIGenerateButtonViewTest, GeneratesIntoTheContentStopsAndShowsFailures) {
    type("greet");
    stack.script({{"fragments", {"Hello ", "there"}}, {"intervalMs", 400}, {"hold", true}});
    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return row() == "stop"; }));
    EXPECT_EQ(error(), "") << "a started generation clears the message";
    ASSERT_TRUE(waitFor([&] { return content() == "Hello "; })) << "fragments show while the answer comes";

    click("stopButton");
    EXPECT_EQ(row(), "regenerate");
    ASSERT_TRUE(waitFor([&] { return stack.streams().at(0).value("closedByClient", false); }));
    QTest::qWait(500);
    EXPECT_EQ(content(), "Hello ") << "the partial text stays, nothing more arrives";

    // A failing Regenerate empties the answer but leaves the content as it was.
    stack.backend.fail("/api/generate", 500, "");
    click("regenerateButton");
    ASSERT_TRUE(waitFor([&] { return !error().isEmpty(); }));
    EXPECT_EQ(error(), "Server error (500). Please try again.");
    EXPECT_EQ(row(), "generate");
    EXPECT_EQ(content(), "Hello ");

    // With the hint open, the typed hint goes along; the answer replaces the content whole.
    click("promptHintToggle");
    click("promptHintField");
    type("formal");
    stack.script({{"fragments", {"Dear team,", " welcome."}}});
    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return row() == "regenerate"; }));
    EXPECT_EQ(content(), "Dear team, welcome.");
    EXPECT_EQ(presenter.editor()->snippet(), "Dear team, welcome.");
    EXPECT_EQ(error(), "");
    EXPECT_EQ(nlohmann::json::parse(stack.backend.log().back().body)["promptHint"], "formal");
}
