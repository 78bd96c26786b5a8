#include <QQuickItem>
#include <QQuickView>
#include <QTest>
#include <gtest/gtest.h>

#include "Models/AppNotifier.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Views/SnippetDetailPresenter.h"
#include "app/Models/Generation/GenerationStack.h"
#include "platform/MemoryDefaults.h"

using nlohmann::json;

namespace {

// The snippet editor on screen (offscreen) with its generate control over the real generation
// path against the test backend, wired as the application wires it; clicked as a user would.
class AIGenerateButtonViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(stack.start());
        view.setInitialProperties({{"presenter", QVariant::fromValue(&presenter)}});
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(600, 800);
        view.setSource(QUrl("qrc:/Sablix/Views/SnippetDetailView.qml"));
        ASSERT_EQ(view.status(), QQuickView::Ready) << view.errors().value(0).toString().toStdString();
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        view.requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
        right.showNewSnippetView();
    }

    static QQuickItem* find(QQuickItem* parent, const QString& objectName) {
        if (parent->objectName() == objectName && parent->isVisible()) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, objectName)) return found;
        return nullptr;
    }
    bool shows(const QString& objectName) { return find(view.rootObject(), objectName) != nullptr; }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 10'000); }
    QQuickItem* item(const QString& objectName) {
        QQuickItem* found = nullptr;
        if (!waitFor([&] { return (found = find(view.rootObject(), objectName)) != nullptr; }))
            throw std::runtime_error("no visible item " + objectName.toStdString());
        return found;
    }
    QString text(const QString& objectName) { return item(objectName)->property("text").toString(); }
    void click(const QString& objectName) {
        QQuickItem* button = item(objectName);
        const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    void typeText(const std::string& text) {
        for (char c : text) QTest::keyClick(&view, c);
    }
    // Which of the row's controls show: "generate", "regenerate" or "stop" (with its spinner).
    std::string row() {
        if (shows("stopButton") && shows("generationSpinner")) return "stop";
        if (shows("regenerateButton")) return "regenerate";
        if (shows("generateButton")) return "generate";
        return "none";
    }
    QString content() { return text("contentEditor"); }
    QString error() { return shows("generationError") ? text("generationError") : QString(); }

    generationtest::GenerationStack stack;
    platform::MemoryDefaults defaults;
    platform::MemoryDefaults settingsStore;
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
    ASSERT_TRUE(shows("snippetEditor"));
    EXPECT_EQ(row(), "generate");
    EXPECT_EQ(error(), "");

    // Without a title nothing is sent; the control says why.
    click("generateButton");
    EXPECT_EQ(error(), "Enter a snippet title first.");
    EXPECT_EQ(row(), "generate");
    EXPECT_TRUE(stack.backend.log().empty());

    typeText("greet");
    stack.script({{"fragments", {"Hello ", "there"}}, {"intervalMs", 400}, {"hold", true}});
    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return row() == "stop"; }));
    EXPECT_EQ(error(), "") << "a started generation clears the message";
    // The first fragment is in the content while the answer is still coming.
    ASSERT_TRUE(waitFor([&] { return content() == "Hello "; }));
    EXPECT_EQ(row(), "stop");

    click("stopButton");
    EXPECT_EQ(row(), "regenerate");
    ASSERT_TRUE(waitFor([&] { return stack.streams().at(0).value("closedByClient", false); }));
    QTest::qWait(500);
    EXPECT_EQ(content(), "Hello ") << "the partial text stays, nothing more arrives";
    EXPECT_EQ(error(), "");

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
    typeText("formal");
    stack.script({{"fragments", {"Dear team,", " welcome."}}});
    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return row() == "regenerate"; }));
    EXPECT_EQ(content(), "Dear team, welcome.");
    EXPECT_EQ(presenter.editor()->snippet(), "Dear team, welcome.");
    EXPECT_EQ(error(), "");
    const auto log = stack.backend.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(json::parse(log.back().body)["promptHint"], "formal");
}
