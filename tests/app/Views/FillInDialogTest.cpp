#include <QQuickItem>
#include <QQuickView>
#include <QTest>
#include <gtest/gtest.h>

#include "Theme/ThemeColors.h"
#include "Views/FillInFieldsForm.h"
#include "Views/FillInFieldsWindowController.h"
#include "desktop/QtMainQueue.h"
#include "support/FakeWorkspace.h"

using sablix::FillInFieldsWindowController;
using Values = sablix::FillInPresenter::Values;

namespace {

class FillInDialogTest : public ::testing::Test {
protected:
    void SetUp() override { workspace.setFrontmost(editor); }

    // Shows the dialog and waits until it is on screen with the keyboard focus.
    void open(std::vector<std::string> names) {
        QStringList expected;
        for (const auto& name : names) expected << QString::fromStdString(name);
        controller.show(std::move(names), [this](std::optional<Values> values) {
            ++answers;
            answer = std::move(values);
            activationsAtAnswer = workspace.activated().size();
            panelVisibleAtAnswer = controller.panel()->isVisible();
        });
        // This dialog's panel, not one still open from before.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                QQuickView* panel = controller.panel();
                if (!panel || !panel->isVisible() || !panel->rootObject()) return false;
                const auto* form = panel->rootObject()->property("form").value<sablix::FillInFieldsForm*>();
                return form && form->fieldNames() == expected;
            },
            5000));
        ASSERT_TRUE(QTest::qWaitForWindowActive(controller.panel()));
    }

    // Searched through the visual tree: a Repeater's items are not QObject children of the form.
    static QQuickItem* find(QQuickItem* parent, const QString& objectName) {
        if (parent->objectName() == objectName) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, objectName)) return found;
        return nullptr;
    }
    QQuickItem* item(const QString& objectName) {
        QQuickItem* found = find(controller.panel()->rootObject(), objectName);
        EXPECT_TRUE(found) << objectName.toStdString();
        if (!found) throw std::runtime_error("no item " + objectName.toStdString());
        return found;
    }
    QQuickItem* field(const QString& name) { return item("fillInField:" + name); }

    void typeText(const std::string& text) {
        for (char c : text) QTest::keyClick(controller.panel(), c);
    }
    void press(Qt::Key key) { QTest::keyClick(controller.panel(), key); }
    bool insertEnabled() { return item("fillInInsert")->isEnabled(); }

    const desktop::RunningApplication editor = testsupport::FakeWorkspace::application(1000, "Editor", 77);
    testsupport::FakeWorkspace workspace;
    FillInFieldsWindowController controller{workspace, desktop::QtMainQueue::shared()};
    int answers = 0;
    std::optional<Values> answer;
    size_t activationsAtAnswer = 0;
    bool panelVisibleAtAnswer = true;
};

}  // namespace

TEST_F(FillInDialogTest, WindowSizeFollowsTheNumberOfFields) {
    EXPECT_EQ(FillInFieldsWindowController::contentHeight(1), 180);
    EXPECT_EQ(FillInFieldsWindowController::contentHeight(50), 600);

    open({"A", "B"});
    QQuickView* panel = controller.panel();
    EXPECT_EQ(panel->size(), QSize(360, 240));
    EXPECT_EQ(panel->title(), "Fill in Fields");
    EXPECT_TRUE(panel->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(panel->flags() & Qt::WindowType_Mask, Qt::Tool);
    press(Qt::Key_Escape);
}

TEST_F(FillInDialogTest, InsertNeedsEveryFieldFilledAndKeepsValuesAsTyped) {
    open({"Your Name", "City"});
    EXPECT_EQ(item("fillInLabel:Your Name")->property("text").toString(), "Your Name");
    EXPECT_EQ(field("Your Name")->property("placeholderText").toString(), "Enter your name...");
    const auto* background = field("Your Name")->property("background").value<QQuickItem*>();
    ASSERT_TRUE(background);
    EXPECT_EQ(background->property("color").value<QColor>(), sablix::ThemeColors::secondary())
        << "the theme reaches the view";
    EXPECT_TRUE(field("Your Name")->hasActiveFocus()) << "the first field takes the focus";
    EXPECT_FALSE(insertEnabled());

    typeText(" Ann ");
    press(Qt::Key_Return);
    EXPECT_TRUE(field("City")->hasActiveFocus()) << "Return moves on to the next field";
    EXPECT_EQ(answers, 0);

    // Blank is not filled: Return in the last field does nothing yet.
    typeText("  ");
    EXPECT_FALSE(insertEnabled());
    press(Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_EQ(answers, 0);
    EXPECT_TRUE(controller.panel()->isVisible());

    typeText("x\t");  // the Tab moves focus on; it must not end up in a value
    EXPECT_TRUE(insertEnabled());
    press(Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 1; }, 2000));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, (Values{{"Your Name", " Ann "}, {"City", "  x"}}));
    // Closed, and the editor is in front again, before the completion runs.
    EXPECT_FALSE(panelVisibleAtAnswer);
    EXPECT_EQ(activationsAtAnswer, 1u);
    ASSERT_EQ(workspace.activated().size(), 1u);
    EXPECT_EQ(workspace.activated()[0].window, editor.window);
}

TEST_F(FillInDialogTest, EscapeAndTheCloseButtonCancel) {
    open({"Name"});
    typeText("Ann");
    press(Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 1; }, 2000));
    EXPECT_FALSE(answer.has_value());
    EXPECT_EQ(activationsAtAnswer, 1u);

    // The window's own close button gives up just like Cancel, and the answer comes once.
    open({"Name"});
    typeText("Bob");
    controller.panel()->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 2; }, 2000));
    EXPECT_FALSE(answer.has_value());
    EXPECT_EQ(activationsAtAnswer, 2u);
    press(Qt::Key_Escape);
    QTest::qWait(50);
    EXPECT_EQ(answers, 2);
}

TEST_F(FillInDialogTest, NoFieldsInsertsAnEmptyMap) {
    open({});
    EXPECT_EQ(controller.panel()->height(), 180);
    EXPECT_TRUE(insertEnabled());
    QMetaObject::invokeMethod(item("fillInInsert"), "clicked");
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 1; }, 2000));
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(answer->empty());
}

TEST_F(FillInDialogTest, NewDialogCancelsOneStillOpen) {
    open({"First"});
    open({"Second"});
    EXPECT_EQ(answers, 1) << "the first dialog must not be left without an answer";
    EXPECT_FALSE(answer.has_value());
    typeText("v");
    press(Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 2; }, 2000));
    EXPECT_EQ(*answer, (Values{{"Second", "v"}}));
}
