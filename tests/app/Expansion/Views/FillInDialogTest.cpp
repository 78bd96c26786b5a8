#include <gtest/gtest.h>

#include "support/ViewTest.h"
#include "Expansion/Views/FillInFieldsPresenter.h"
#include "Expansion/Views/FillInFieldsWindowController.h"
#include "desktop/QtMainQueue.h"
#include "support/FakeWorkspace.h"

using sablix::FillInFieldsWindowController;
using Values = sablix::FillInPresenter::Values;

namespace {

class FillInDialogTest : public viewtest::ViewTest {
protected:
    void SetUp() override { workspace.setFrontmost(editor); }
    QQuickWindow* window() override { return controller.panel(); }

    // Shows the dialog and waits until this one (not one still open from before) has the keyboard.
    void open(std::vector<std::string> names) {
        QStringList expected;
        for (const auto& name : names) expected << QString::fromStdString(name);
        const int focusedBefore = focusedCalls;
        controller.show(
            std::move(names),
            [this](std::optional<Values> values) {
                ++answers;
                answer = std::move(values);
                activationsAtAnswer = workspace.activated().size();
                panelVisibleAtAnswer = controller.panel()->isVisible();
            },
            [this] { ++focusedCalls; });
        ASSERT_TRUE(waitFor([&] {
            QQuickView* panel = controller.panel();
            if (!panel || !panel->isVisible() || !panel->rootObject()) return false;
            const auto* form = panel->rootObject()->property("form").value<sablix::FillInFieldsPresenter*>();
            return form && form->fieldNames() == expected;
        }));
        ASSERT_TRUE(QTest::qWaitForWindowActive(controller.panel()));
        // The engine holds the keys typed until then, and lets the dialog have those typed after.
        ASSERT_TRUE(waitFor([&] { return focusedCalls == focusedBefore + 1; }));
    }
    QQuickItem* field(const QString& name) { return item("fillInField:" + name); }

    const desktop::RunningApplication editor = testsupport::FakeWorkspace::application(1000, "Editor", 77);
    testsupport::FakeWorkspace workspace;
    FillInFieldsWindowController controller{workspace, desktop::QtMainQueue::shared()};
    int answers = 0;
    std::optional<Values> answer;
    size_t activationsAtAnswer = 0;
    bool panelVisibleAtAnswer = true;
    int focusedCalls = 0;
};

}  // namespace

TEST_F(FillInDialogTest, InsertNeedsEveryFieldFilledAndKeepsValuesAsTyped) {
    open({"Your Name", "City"});
    EXPECT_EQ(controller.panel()->size(), QSize(360, 240)) << "the height follows the number of fields";
    EXPECT_EQ(FillInFieldsWindowController::contentHeight(50), 600) << "and stops short of the screen";
    EXPECT_TRUE(controller.panel()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(field("Your Name")->hasActiveFocus());
    EXPECT_FALSE(enabled("fillInInsert"));

    type(" Ann ");
    key(Qt::Key_Return);
    EXPECT_TRUE(field("City")->hasActiveFocus()) << "Return moves on to the next field";

    // Blank is not filled: Return in the last field does nothing yet.
    type("  ");
    key(Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_EQ(answers, 0);
    EXPECT_TRUE(controller.panel()->isVisible());

    type("x\t");  // the Tab moves focus on; it must not end up in a value
    key(Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return answers == 1; }));
    EXPECT_EQ(answer, (Values{{"Your Name", " Ann "}, {"City", "  x"}}));
    // Closed, and the editor is in front again, before the completion runs.
    EXPECT_FALSE(panelVisibleAtAnswer);
    EXPECT_EQ(activationsAtAnswer, 1u);
    EXPECT_EQ(workspace.activated().at(0).window, editor.window);
}

// Escape runs end to end; the window's own close button gives up just the same, and once.
TEST_F(FillInDialogTest, TheCloseButtonCancelsOnce) {
    open({"Name"});
    type("Ann");
    controller.panel()->close();
    ASSERT_TRUE(waitFor([&] { return answers == 1; }));
    EXPECT_EQ(answer, std::nullopt);
    EXPECT_EQ(activationsAtAnswer, 1u) << "the editor came back first";
    key(Qt::Key_Escape);
    QTest::qWait(50);
    EXPECT_EQ(answers, 1);
}

TEST_F(FillInDialogTest, NoFieldsInsertsAnEmptyMap) {
    open({});
    QMetaObject::invokeMethod(item("fillInInsert"), "clicked");
    ASSERT_TRUE(waitFor([&] { return answers == 1; }));
    EXPECT_EQ(answer, Values{});
}

TEST_F(FillInDialogTest, NewDialogCancelsOneStillOpen) {
    open({"First"});
    open({"Second"});
    EXPECT_EQ(answers, 1) << "the first dialog must not be left without an answer";
    EXPECT_EQ(answer, std::nullopt);
    type("v");
    key(Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return answers == 2; }));
    EXPECT_EQ(answer, (Values{{"Second", "v"}}));
}

// Nothing the user needs leaves the dialog. With few fields, names that wrap make it taller; with
// ten, the fields scroll between the header and the buttons and the keyboard brings each into
// view. Insert stays in the window, where a click takes it.
TEST_F(FillInDialogTest, EveryFieldAndInsertStayWithinReach) {
    const std::string greeting =
        "The name of the person who receives this letter, written exactly as the greeting at the top of the page "
        "should show it";
    const std::string closing =
        "The words that close the letter before the signature, with the sender's title after them";
    const auto rectOf = [&](const QString& name) {
        QQuickItem* shown = item(name);
        return shown->mapRectToScene(QRectF(0, 0, shown->width(), shown->height()));
    };
    // Between the header and the buttons, inside the window.
    const auto inView = [&](const std::string& name) {
        const QRectF visible(QPointF(0, rectOf("fillInSubtitle").bottom()),
                             QPointF(controller.panel()->width(),
                                     std::min<qreal>(rectOf("fillInInsert").top(), controller.panel()->height())));
        return visible.contains(rectOf("fillInField:" + QString::fromStdString(name)));
    };
    const auto insertInWindow = [&] {
        return QRectF(QPointF(0, 0), controller.panel()->size()).contains(rectOf("fillInInsert"));
    };

    open({greeting, "City"});
    EXPECT_TRUE(insertInWindow());
    EXPECT_TRUE(inView(greeting));
    EXPECT_TRUE(inView("City")) << "the dialog grows by the lines the long name wraps to";

    std::vector<std::string> names{"Title",    greeting, "Company", "Street", "City",
                                   "Postcode", closing,  "Phone",   "Email",  "Date"};
    open(names);
    EXPECT_EQ(controller.panel()->height(), FillInFieldsWindowController::kMaxHeight);
    Values typed;
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(field(QString::fromStdString(names[i]))->hasActiveFocus()) << names[i];
        EXPECT_TRUE(inView(names[i])) << names[i] << " has the keyboard but is out of view";
        type("v" + std::to_string(i));
        typed[names[i]] = "v" + std::to_string(i);
        if (i + 1 < names.size()) key(Qt::Key_Return);
    }
    ASSERT_TRUE(insertInWindow());
    click("fillInInsert");
    ASSERT_TRUE(waitFor([&] { return answers == 2; }));
    EXPECT_EQ(answer, typed);
}
