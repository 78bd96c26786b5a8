#include <QClipboard>
#include <QGuiApplication>
#include <QQmlProperty>
#include <QSignalSpy>
#include <QTextDocument>
#include <gtest/gtest.h>

#include "Snippets/SnippetController.h"
#include "Shell/AppNotifier.h"
#include "MainWindow/ContentHighlight.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "Snippets/SnippetSettings.h"
#include "support/ViewTest.h"
#include "Shared/Views/SymbolIcons.h"
#include "MainWindow/Views/Detail/DocumentText.h"
#include "MainWindow/Views/Detail/SnippetDetailPresenter.h"
#include "app/Generation/GenerationStack.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakePasteboard.h"

using sablix::SnippetDetailPresenter;
using sablix::SnippetItem;

namespace {

// The detail pane over the real panel models and library store, with a fake clock and clipboard,
// and its generate control over the real generation path against the test backend.
class SnippetDetailViewTest : public viewtest::ViewTest {
protected:
    void SetUp() override { load(view, "MainWindow/Views/Detail/SnippetDetailView.qml", &presenter, {600, 800}); }
    QQuickWindow* window() override { return &view; }

    QStringList texts(const QString& name) {
        QStringList list;
        collect(view.contentItem(), name, list);
        return list;
    }
    static void collect(QQuickItem* parent, const QString& name, QStringList& list) {
        if (parent->objectName() == name && parent->isVisible()) list << parent->property("text").toString();
        for (QQuickItem* child : parent->childItems()) collect(child, name, list);
    }
    // What a text item shows, character for character.
    QString documentText(const QString& name) {
        return sablix::DocumentText::plainText(item(name)->property("textDocument").value<QQuickTextDocument*>());
    }
    // Which of the generate row's controls show: "generate", "regenerate" or "stop" (with its spinner).
    std::string generateRow() {
        if (shows("stopButton") && shows("generationSpinner")) return "stop";
        if (shows("regenerateButton")) return "regenerate";
        return shows("generateButton") ? "generate" : "none";
    }
    QString generationError() { return shows("generationError") ? text("generationError") : QString(); }
    void paste(const QString& text) {
        QGuiApplication::clipboard()->setText(text);
        key(Qt::Key_V, Qt::ControlModifier);
    }

    generationtest::GenerationStack stack;
    platform::MemoryDefaults defaults, settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    platform::FakeClock clock{platform::Date::fromUnix(1782505800)};  // Friday 2026-06-26, evening in New York
    sablix::MiddlePanelModel middle{defaults, settings, clock, [] {}, analytics, notifier};
    sablix::RightPanelModel right{clock};
    testsupport::FakePasteboard pasteboard;
    SnippetDetailPresenter presenter{right,
                                     middle,
                                     settings,
                                     sablix::DynamicFieldContext{clock, "en_US", "America/New_York", &pasteboard},
                                     false,
                                     {},
                                     [this](QObject* parent) { return stack.makeModel(parent); }};
    QSignalSpy selections{&presenter, &SnippetDetailPresenter::selectedSnippetIDWritten};
    QQuickView view;
};

}  // namespace

TEST_F(SnippetDetailViewTest, ANewSnippetIsSavedOnlyWhenTheLibraryTakesItAndKeptOpenOtherwise) {
    right.showNewSnippetView();
    ASSERT_TRUE(item("titleField")->hasActiveFocus());
    type("greet");
    EXPECT_FALSE(enabled("saveButton")) << "no content yet";
    EXPECT_TRUE(texts("validationError").isEmpty()) << "a blank content only disables Save";

    // A field goes in at the caret of the content editor, and at the end while the title has the focus.
    typeInto("contentEditor", "Hi ");
    key(Qt::Key_Left);
    click("dynamicFieldsToggle");
    click("insertField:{day}");
    EXPECT_EQ(text("contentEditor"), "Hi{day} ");
    focus("titleField");
    click("insertField:{date}");
    EXPECT_EQ(text("contentEditor"), "Hi{day} {date}");

    // A title in use is refused, and Ctrl+Return saves nothing.
    key(Qt::Key_A, Qt::ControlModifier);
    type("addr");
    EXPECT_EQ(texts("validationError"), QStringList{"This title is already in use"});
    key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(middle.allItems().size(), 3u);
    key(Qt::Key_A, Qt::ControlModifier);
    type("greet");

    // A save the library refuses to write keeps the editor open with the user's text and says why.
    defaults.setFailWrites(true);
    key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(text("saveError"), sablix::MiddlePanelModel::kSaveFailedMessage);
    EXPECT_EQ(text("titleField"), "greet");
    EXPECT_EQ(text("contentEditor"), "Hi{day} {date}");
    EXPECT_EQ(middle.allItems().size(), 3u);
    EXPECT_EQ(selections.count(), 0) << "nothing saved, nothing selected";

    defaults.setFailWrites(false);
    focus("contentEditor");
    key(Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(shows("snippetContentView"));
    const SnippetItem& saved = middle.allItems().back();
    EXPECT_EQ(saved.snippet, "Hi{day} {date}");
    ASSERT_EQ(selections.count(), 1);
    EXPECT_EQ(selections[0][0].toString().toStdString(), saved.id.toString());
    EXPECT_EQ(sablix::SnippetController(defaults, clock).loadItems().back().snippetTitle, "greet");
}

TEST_F(SnippetDetailViewTest, SnippetTextIsShownAndKeptVerbatim) {
    // Markup, a no-break space and a line separator are a snippet's own characters.
    const std::string content = "<b>bold</b> & {clipboard}\u00A0end\u2028.";
    SnippetItem stored(platform::Uuid::generate(), "html", content, {}, clock);
    stored.tags = {"Work", "x"};
    ASSERT_TRUE(middle.addItem(sablix::SnippetValue(stored)).isEmpty());
    pasteboard.setString("<i>clip</i>");
    right.updateSelectedItem(sablix::SnippetValue(middle.allItems().back()));

    EXPECT_EQ(documentText("highlightedContent"), "<b>bold</b> &  {clipboard} \u00A0end\u2028.");
    EXPECT_EQ(documentText("previewText"), "<b>bold</b> & <i>clip</i>\u00A0end\u2028.");
    pasteboard.setString("later");
    EXPECT_TRUE(waitFor([&] { return documentText("previewText").contains("later"); }))
        << "a new clipboard shows without any interaction";

    key(Qt::Key_E, Qt::ControlModifier);
    typeInto("tagEntry", "  Home Office ");
    key(Qt::Key_Return);
    type("WORK");
    key(Qt::Key_Return);
    EXPECT_EQ(text("tagEntry"), "");
    click("removeTag:x");
    focus("contentEditor");
    key(Qt::Key_End, Qt::ControlModifier);
    type("!");
    click("saveButton");
    ASSERT_TRUE(shows("snippetContentView"));
    const SnippetItem& saved = middle.allItems().back();
    EXPECT_EQ(saved.id, stored.id);
    EXPECT_EQ(saved.snippet, content + "!");
    EXPECT_EQ(saved.tags, (std::vector<std::string>{"Work", "home office", "work"}));

    // Escape after Edit discards the changes; Delete empties the selection.
    click("editButton");
    typeInto("contentEditor", "more");
    key(Qt::Key_Escape);
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
    const QString letters = QString::fromUtf8("\u05E9e\u0301\U0001F600");

    right.showNewSnippetView();
    item("titleField");
    paste(letters.repeated(40000));
    // Three user-perceived characters a unit: six units and two characters make the 20 allowed.
    EXPECT_EQ(text("titleField"), letters.repeated(6) + QString::fromUtf8("\u05E9e\u0301"));

    focus("contentEditor");
    paste(content);
    type("!?");
    key(Qt::Key_Backspace);
    ASSERT_TRUE(enabled("saveButton")) << texts("validationError").join("; ").toStdString();
    EXPECT_EQ(texts("validationWarning").size(), 1) << "the long-content warning";
    click("saveButton");

    ASSERT_TRUE(shows("snippetContentView"));
    EXPECT_EQ(QString::fromStdString(middle.allItems().back().snippet), content + "!");
    EXPECT_EQ(documentText("highlightedContent"), sablix::contentHighlight::highlightedContent(content + "!").text);
    EXPECT_TRUE(documentText("previewText").startsWith(QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD Friday e\u0301")));
}

TEST_F(SnippetDetailViewTest, GeneratesIntoTheContentStopsAndShowsFailures) {
    ASSERT_TRUE(stack.start());
    right.showNewSnippetView();
    type("greet");
    stack.script({{"fragments", {"Hello ", "there"}}, {"intervalMs", 400}, {"hold", true}});
    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return generateRow() == "stop"; }));
    ASSERT_TRUE(waitFor([&] { return text("contentEditor") == "Hello "; })) << "fragments show while the answer comes";

    click("stopButton");
    EXPECT_EQ(generateRow(), "regenerate");
    ASSERT_TRUE(waitFor([&] { return stack.streams().at(0).value("closedByClient", false); }));
    QTest::qWait(500);
    EXPECT_EQ(text("contentEditor"), "Hello ") << "the partial text stays, nothing more arrives";

    // A failing Regenerate empties the answer but leaves the content as it was.
    stack.backend.fail("/api/generate", 500, "");
    click("regenerateButton");
    ASSERT_TRUE(waitFor([&] { return !generationError().isEmpty(); }));
    EXPECT_EQ(generationError(), "Server error (500). Please try again.");
    EXPECT_EQ(generateRow(), "generate");
    EXPECT_EQ(text("contentEditor"), "Hello ");

    // With the hint open, the typed hint goes along; the answer replaces the content whole and
    // clears the message.
    click("promptHintToggle");
    typeInto("promptHintField", "formal");
    stack.script({{"fragments", {"Dear team,", " welcome."}}});
    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return generateRow() == "regenerate"; }));
    EXPECT_EQ(text("contentEditor"), "Dear team, welcome.");
    EXPECT_EQ(presenter.editor()->snippet(), "Dear team, welcome.");
    EXPECT_EQ(generationError(), "");
    EXPECT_EQ(nlohmann::json::parse(stack.backend.log().back().body)["promptHint"], "formal");
}

// A long answer arriving quickly: the editor's document takes in each fragment once instead of
// the whole text again, Stop ends the stream still open, and Save stores what is shown.
TEST_F(SnippetDetailViewTest, ALongAnswerIsAddedAtTheEndStopsAndIsSavedAsShown) {
    ASSERT_TRUE(stack.start());
    right.showNewSnippetView();
    type("greet");
    std::vector<std::string> fragments;
    std::string whole;
    for (int i = 0; i < 2000; ++i) {
        fragments.push_back("fragment " + std::to_string(i) + (i % 4 == 3 ? "\n" : " "));
        whole += fragments.back();
    }
    stack.script({{"fragments", fragments}, {"done", false}, {"hold", true}});
    QTextDocument* document =
        item("contentEditor")->property("textDocument").value<QQuickTextDocument*>()->textDocument();
    qsizetype added = 0;
    QObject::connect(document, &QTextDocument::contentsChange, [&](int, int, int charsAdded) { added += charsAdded; });

    click("generateButton");
    ASSERT_TRUE(waitFor([&] { return documentText("contentEditor").size() == qsizetype(whole.size()); }));
    EXPECT_EQ(documentText("contentEditor").toStdString(), whole);
    EXPECT_LE(added, qsizetype(whole.size()) * 2) << "fragments went in as the whole text again";

    ASSERT_EQ(generateRow(), "stop") << "the answer's connection is still open";
    click("stopButton");
    EXPECT_EQ(generateRow(), "regenerate");
    ASSERT_TRUE(waitFor([&] { return stack.streams().at(0).value("closedByClient", false); }));
    click("saveButton");
    ASSERT_TRUE(shows("snippetContentView"));
    EXPECT_EQ(middle.allItems().back().snippet, whole);
}

TEST_F(SnippetDetailViewTest, ThePreviewReadsTheClipboardOnlyWhileTheWindowIsShown) {
    ASSERT_TRUE(
        middle.addItem(sablix::SnippetValue(SnippetItem(platform::Uuid::generate(), "clip", "{clipboard}!", {}, clock)))
            .isEmpty());
    pasteboard.setString("one");
    right.updateSelectedItem(sablix::SnippetValue(middle.allItems().back()));
    ASSERT_EQ(documentText("previewText"), "one!");
    auto* timer = view.rootObject()->findChild<QObject*>("previewRefreshTimer");
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(timer->property("running").toBool());

    // A read can stall on a frozen clipboard owner: none while nobody can see the window.
    view.hide();
    EXPECT_TRUE(waitFor([&] { return !timer->property("running").toBool(); })) << "reads on while hidden";
    pasteboard.setString("two");
    view.showMinimized();
    EXPECT_FALSE(timer->property("running").toBool()) << "reads on while minimized";
    view.showNormal();
    EXPECT_TRUE(waitFor([&] { return documentText("previewText") == "two!"; })) << "shown again, it reads at once";
}

// At its narrowest (the window at its minimum size) the insert bar still names every field in
// full, on the button or by wrapping onto more rows, with a tooltip, and no two fields look alike.
TEST_F(SnippetDetailViewTest, EveryInsertButtonIsReadableHasATooltipAndAnIconOfItsOwn) {
    sablix::SymbolIcons::useFallbackTheme();  // as the application does
    view.resize(280, 800);
    right.showNewSnippetView();
    click("dynamicFieldsToggle");
    const std::vector<std::pair<QString, QString>> fields = {
        {"{date}", "Date"},     {"{date+7}", "Date+N"},       {"{time}", "Time"},
        {"{day}", "Day"},       {"{clipboard}", "Clipboard"}, {"{snippet:name}", "Snippet"},
        {"{cursor}", "Cursor"}, {"{fill:Name}", "Fill-in"}};
    const auto descendants = [](QQuickItem* root, const char* className) {
        QList<QQuickItem*> found, queue{root};
        while (!queue.isEmpty()) {
            QQuickItem* next = queue.takeFirst();
            if (next->isVisible() && next->inherits(className)) found << next;
            queue << next->childItems();
        }
        return found;
    };
    // Whole and inside the bar once the bar, just shown, is laid out.
    const auto readable = [&](QQuickItem* button, QQuickItem* text) {
        const QRectF inBar = button->mapRectToItem(item("dynamicFieldInsertBar"), button->boundingRect());
        return !text->property("truncated").toBool() &&
               text->property("contentWidth").toReal() <= text->width() + 0.5 &&
               inBar.right() <= item("dynamicFieldInsertBar")->width() + 0.5;
    };
    QSet<QString> icons;
    for (const auto& [token, label] : fields) {
        QQuickItem* button = item("insertField:" + token);
        const auto texts = descendants(button, "QQuickText");
        ASSERT_EQ(texts.size(), 1) << token.toStdString();
        EXPECT_EQ(texts[0]->property("text").toString(), label);
        EXPECT_TRUE(waitFor([&] { return readable(button, texts[0]); }, 2000))
            << label.toStdString() << " is cut short";
        const auto images = descendants(button, "QQuickIconImage");
        ASSERT_EQ(images.size(), 1) << token.toStdString();
        const QString icon = QQmlProperty::read(button, "icon.name").toString();
        EXPECT_FALSE(icon.isEmpty()) << label.toStdString();
        EXPECT_FALSE(icons.contains(icon)) << label.toStdString() << " shares its icon " << icon.toStdString();
        icons.insert(icon);

        // The tooltip names it, shown over the view while the pointer rests on the button.
        const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
        QTest::mouseMove(&view, centre.toPoint());
        EXPECT_TRUE(waitFor([&] {
            for (QQuickItem* text : descendants(view.contentItem(), "QQuickText"))
                if (text->property("text").toString() == label && !button->isAncestorOf(text)) return true;
            return false;
        })) << "no tooltip for "
            << label.toStdString();
    }
    EXPECT_EQ(icons.size(), fields.size()) << "two fields show the same icon";
}
