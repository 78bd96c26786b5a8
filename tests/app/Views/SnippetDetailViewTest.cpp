#include <QClipboard>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "Controllers/SnippetController.h"
#include "Models/AppNotifier.h"
#include "Models/MainWindow/ContentHighlight.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Views/DocumentText.h"
#include "Views/SnippetDetailPresenter.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakePasteboard.h"

using sablix::SnippetDetailPresenter;
using sablix::SnippetItem;
using sablix::SnippetValue;

namespace {

// The detail pane on screen (offscreen), over the real panel models and library store, with a
// fake clock and clipboard; driven by keys and clicks as a user would.
class SnippetDetailViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        view.setInitialProperties({{"presenter", QVariant::fromValue(&presenter)}});
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(600, 700);
        view.setSource(QUrl("qrc:/Sablix/Views/SnippetDetailView.qml"));
        ASSERT_EQ(view.status(), QQuickView::Ready) << view.errors().value(0).toString().toStdString();
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        view.requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    }

    static QQuickItem* find(QQuickItem* parent, const QString& objectName) {
        if (parent->objectName() == objectName && parent->isVisible()) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, objectName)) return found;
        return nullptr;
    }
    QQuickItem* item(const QString& objectName) {
        QQuickItem* found = nullptr;
        if (!QTest::qWaitFor([&] { return (found = find(view.rootObject(), objectName)) != nullptr; }, 2000))
            throw std::runtime_error("no visible item " + objectName.toStdString());
        return found;
    }
    bool shows(const QString& objectName) { return find(view.rootObject(), objectName) != nullptr; }
    QString text(const QString& objectName) { return item(objectName)->property("text").toString(); }
    QStringList texts(const QString& objectName) {
        QStringList list;
        collect(view.rootObject(), objectName, list);
        return list;
    }
    static void collect(QQuickItem* parent, const QString& objectName, QStringList& list) {
        if (parent->objectName() == objectName && parent->isVisible()) list << parent->property("text").toString();
        for (QQuickItem* child : parent->childItems()) collect(child, objectName, list);
    }

    void typeText(const std::string& text) {
        for (char c : text) QTest::keyClick(&view, c);
    }
    void click(const QString& objectName) {
        QQuickItem* button = item(objectName);
        const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    void focus(const QString& objectName) {
        click(objectName);
        ASSERT_TRUE(QTest::qWaitFor([&] { return item(objectName)->hasActiveFocus(); }, 2000))
            << objectName.toStdString();
    }
    // What a text item shows, character for character.
    QString documentText(const QString& objectName) {
        return sablix::DocumentText::plainText(item(objectName)->property("textDocument").value<QQuickTextDocument*>());
    }
    bool saveEnabled() { return item("saveButton")->isEnabled(); }

    platform::MemoryDefaults defaults;
    platform::MemoryDefaults settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    sablix::MiddlePanelModel middle{defaults, settings, [] {}, analytics, notifier};
    platform::FakeClock clock{platform::Date::fromUnix(1782505800)};  // Friday 2026-06-26, evening in New York
    sablix::RightPanelModel right{clock};
    testsupport::FakePasteboard pasteboard;
    SnippetDetailPresenter presenter{
        right, middle, settings, sablix::DynamicFieldContext{&clock, "en_US", "America/New_York", &pasteboard}, false};
    QSignalSpy selections{&presenter, &SnippetDetailPresenter::selectedSnippetIDWritten};
    QQuickView view;
};

}  // namespace

TEST_F(SnippetDetailViewTest, NewSnippetIsValidatedAsTypedAndSavedOnlyWhenTheLibraryTakesIt) {
    ASSERT_EQ(middle.allItems().size(), 3u) << "the starter snippets";
    EXPECT_TRUE(shows("snippetPlaceholder"));

    right.showNewSnippetView();
    ASSERT_TRUE(item("titleField")->hasActiveFocus()) << "typing goes to the title at once";
    EXPECT_FALSE(saveEnabled());
    EXPECT_FALSE(shows("triggerPreview"));

    // ";" and spaces never reach the title; the trigger shows as typed.
    typeText("my;sig x");
    EXPECT_EQ(text("titleField"), "mysigx");
    EXPECT_EQ(text("triggerText"), ";mysigx");
    EXPECT_FALSE(saveEnabled()) << "no content yet";
    EXPECT_TRUE(texts("validationError").isEmpty()) << "a blank content only disables Save";

    focus("contentEditor");
    typeText("Hi ");
    EXPECT_TRUE(saveEnabled());
    // A field goes in at the caret of the content editor...
    QTest::keyClick(&view, Qt::Key_Left);
    click("dynamicFieldsToggle");
    click("insertField:{day}");
    EXPECT_EQ(text("contentEditor"), "Hi{day} ");
    // ...and at the end while the title is being edited.
    focus("titleField");
    click("insertField:{date}");
    EXPECT_EQ(text("contentEditor"), "Hi{day} {date}");

    // A title in use is refused with the library's message, and Save goes off.
    focus("titleField");
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    typeText("addr");
    EXPECT_EQ(texts("validationError"), QStringList{"This title is already in use"});
    EXPECT_FALSE(saveEnabled());
    QTest::keyClick(&view, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(middle.allItems().size(), 3u);

    // A save the library refuses to write keeps the editor open with the user's text and says why.
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    typeText("greet");
    EXPECT_TRUE(texts("validationError").isEmpty());
    ASSERT_TRUE(saveEnabled());
    defaults.setFailWrites(true);
    QTest::keyClick(&view, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(text("saveError"), sablix::MiddlePanelModel::kSaveFailedMessage);
    EXPECT_EQ(text("titleField"), "greet");
    EXPECT_EQ(text("contentEditor"), "Hi{day} {date}");
    EXPECT_EQ(middle.allItems().size(), 3u);
    EXPECT_EQ(selections.count(), 0) << "nothing saved, nothing selected";

    // The same Save once the library can be written stores it, closes the editor and selects it.
    defaults.setFailWrites(false);
    focus("contentEditor");
    QTest::keyClick(&view, Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(shows("snippetContentView"));
    ASSERT_EQ(middle.allItems().size(), 4u);
    const SnippetItem& saved = middle.allItems().back();
    EXPECT_EQ(saved.snippetTitle, "greet");
    EXPECT_EQ(saved.snippet, "Hi{day} {date}");
    ASSERT_EQ(selections.count(), 1);
    EXPECT_EQ(selections[0][0].toString().toStdString(), saved.id.toString());
    EXPECT_EQ(sablix::SnippetController(defaults).loadItems().back().snippetTitle, "greet");

    // The read-only view shows the stored snippet with its live preview.
    EXPECT_EQ(text("snippetTrigger"), ";greet");
    EXPECT_EQ(documentText("highlightedContent"), "Hi {day}   {date} ");
    EXPECT_EQ(documentText("previewText"), "HiFriday June 26, 2026");
}

TEST_F(SnippetDetailViewTest, SnippetTextIsShownAndKeptVerbatim) {
    // Markup, a no-break space and a line separator are a snippet's own characters.
    const std::string content = "<b>bold</b> & {clipboard}\u00A0end\u2028.";
    SnippetItem stored(platform::Uuid::generate(), "html", content, {});
    stored.tags = {"Work", "x"};
    ASSERT_TRUE(middle.addItem(SnippetValue(stored)).isEmpty());
    pasteboard.setString("<i>clip</i>");
    right.updateSelectedItem(SnippetValue(middle.allItems().back()));

    EXPECT_EQ(text("snippetTitle"), "html");
    EXPECT_EQ(documentText("highlightedContent"), "<b>bold</b> &  {clipboard} \u00A0end\u2028.");
    EXPECT_EQ(documentText("previewText"), "<b>bold</b> & <i>clip</i>\u00A0end\u2028.");
    // A new clipboard shows in the preview without any interaction.
    pasteboard.setString("later");
    EXPECT_TRUE(QTest::qWaitFor([&] { return documentText("previewText").contains("later"); }, 5000));

    QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(shows("snippetEditor"));
    focus("tagEntry");
    typeText("  Home Office ");
    QTest::keyClick(&view, Qt::Key_Return);
    typeText("WORK");
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_EQ(text("tagEntry"), "");
    click("removeTag:x");
    focus("contentEditor");
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    typeText("!");
    click("saveButton");
    ASSERT_TRUE(shows("snippetContentView"));
    const SnippetItem& saved = middle.allItems().back();
    EXPECT_EQ(saved.id, stored.id);
    EXPECT_EQ(saved.snippet, content + "!");
    EXPECT_EQ(saved.tags, (std::vector<std::string>{"Work", "home office", "work"}));

    // Cancel after Edit discards the changes.
    click("editButton");
    focus("contentEditor");
    typeText("more");
    QTest::keyClick(&view, Qt::Key_Escape);
    ASSERT_TRUE(shows("snippetContentView"));
    EXPECT_EQ(middle.allItems().back().snippet, content + "!");

    click("deleteButton");
    EXPECT_TRUE(shows("snippetPlaceholder"));
    EXPECT_EQ(middle.allItems().size(), 3u);
    EXPECT_EQ(selections.back()[0].toString(), "");
}

TEST_F(SnippetDetailViewTest, LongTextInAnyScriptIsPastedSavedAndShownWhole) {
    // Right-to-left, combining marks, joined emoji, every kind of brace, over 100,000 characters.
    const QString unit = QString::fromUtf8(
        "\u05E9\u05DC\u05D5\u05DD {day} e\u0301 \U0001F468\u200D\U0001F469\u200D\U0001F467 {snippet:x} } "
        "{fill:N\u00E9v} {date+1} {\n");
    QString content;
    while (content.size() < 100000) content += unit;
    const QString title = QString::fromUtf8("\u05E9e\u0301\U0001F600").repeated(40000);

    right.showNewSnippetView();
    item("titleField");
    QGuiApplication::clipboard()->setText(title);
    QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
    // Three user-perceived characters a unit: six units and two characters make the 20 allowed.
    EXPECT_EQ(text("titleField"),
              QString::fromUtf8("\u05E9e\u0301\U0001F600").repeated(6) + QString::fromUtf8("\u05E9e\u0301"));

    focus("contentEditor");
    QGuiApplication::clipboard()->setText(content);
    QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
    typeText("!?");
    QTest::keyClick(&view, Qt::Key_Backspace);
    ASSERT_TRUE(saveEnabled()) << texts("validationError").join("; ").toStdString();
    EXPECT_EQ(texts("validationWarning").size(), 1) << "the long-content warning";
    click("saveButton");

    ASSERT_TRUE(shows("snippetContentView"));
    EXPECT_EQ(QString::fromStdString(middle.allItems().back().snippet), content + "!");
    const QString shown = documentText("highlightedContent");
    EXPECT_EQ(shown, sablix::contentHighlight::highlightedContent(content + "!").text);
    EXPECT_TRUE(documentText("previewText").startsWith(QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD Friday e\u0301")));
}
