// The main window's content with real models over an in-memory library, driven as a user does:
// clicks, typing and context menus on the offscreen platform.
#include <QQuickItem>
#include <QQuickView>
#include <QTest>
#include <gtest/gtest.h>

#include "Controllers/SnippetController.h"
#include "Models/AppNotifier.h"
#include "Models/MainWindow/MainWindowState.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/MainWindow/TagSidebarModel.h"
#include "Models/MainWindow/UpdateNotice.h"
#include "Models/Networking/APIClient.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Models/Updates/UpdateChecker.h"
#include "Views/SnippetDetailPresenter.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/LogCapture.h"

using platform::Uuid;
using sablix::MiddlePanelModel;
using sablix::SnippetController;
using sablix::SnippetItem;

namespace {

SnippetItem snippet(std::string title, std::string content, std::vector<std::string> tags) {
    return SnippetItem(Uuid::generate(), std::move(title), std::move(content), std::move(tags));
}

class ContentViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        checker = std::make_unique<sablix::UpdateChecker>(
            client, QUrl(QString::fromStdString(backend.baseURL() + testservers::TestBackend::kAppcastRoute)),
            std::string("1.0"));
        defaults.set(MiddlePanelModel::kHasSeededStarterSnippetsKey, true);
        ASSERT_TRUE(SnippetController(defaults).saveItems({
            snippet("addr", "123 Main Street", {"personal"}),
            snippet("sig", "Best regards", {"email", "work"}),
            snippet("tyvm", "Thank you so much", {"email"}),
            snippet("bold", "<b>not bold</b> and more text than thirty characters", {"a", "b", "c", "d", "e"}),
        }));
    }

    void open() {
        middle = std::make_unique<MiddlePanelModel>(
            defaults, settings, [this] { ++refreshes; }, analytics, notifier);
        tags = std::make_unique<sablix::TagSidebarModel>(*middle);
        state = std::make_unique<sablix::MainWindowState>(*middle, right, *tags, defaults);
        notice = std::make_unique<sablix::UpdateNotice>(*checker, [this] { ++updateRequests; });
        detail = std::make_unique<sablix::SnippetDetailPresenter>(
            right, *middle, settings, sablix::DynamicFieldContext{&clock, "", "", {}}, false);
        view.setInitialProperties({
            {"middlePanelModel", QVariant::fromValue(middle.get())},
            {"rightPanelModel", QVariant::fromValue(&right)},
            {"tagSidebarModel", QVariant::fromValue(tags.get())},
            {"windowState", QVariant::fromValue(state.get())},
            {"updateNotice", QVariant::fromValue(notice.get())},
            {"detailPresenter", QVariant::fromValue(detail.get())},
        });
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.setSource(QUrl("qrc:/Sablix/Views/ContentView.qml"));
        for (const auto& error : view.errors()) ADD_FAILURE() << error.toString().toStdString();
        ASSERT_TRUE(view.rootObject());
        view.resize(900, 600);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }

    // Through the visual tree from the window's root, so that rows and popups are found too.
    static QQuickItem* find(QQuickItem* parent, const QString& objectName) {
        if (parent->objectName() == objectName && parent->isVisible()) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, objectName)) return found;
        return nullptr;
    }
    QQuickItem* maybe(const QString& objectName) { return find(view.contentItem(), objectName); }
    QQuickItem* item(const QString& objectName) {
        QQuickItem* found = nullptr;
        if (!QTest::qWaitFor([&] { return (found = maybe(objectName)) != nullptr; }, 2000))
            throw std::runtime_error("no visible item " + objectName.toStdString());
        return found;
    }
    QString text(const QString& objectName, const QString& child = {}) {
        QQuickItem* it = item(objectName);
        if (!child.isEmpty()) it = find(it, child);
        return it ? it->property("text").toString() : QString();
    }
    void click(QQuickItem* target, Qt::MouseButton button = Qt::LeftButton) {
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(&view, button, Qt::NoModifier, centre.toPoint());
    }
    void click(const QString& objectName, Qt::MouseButton button = Qt::LeftButton) { click(item(objectName), button); }
    // The titles of the rows the list shows, top to bottom.
    std::vector<std::string> rows() {
        QCoreApplication::processEvents();
        std::vector<std::pair<qreal, std::string>> found;
        collectRows(item("snippetList"), found);
        std::sort(found.begin(), found.end());
        std::vector<std::string> titles;
        for (const auto& [y, title] : found) titles.push_back(title);
        return titles;
    }
    static void collectRows(QQuickItem* parent, std::vector<std::pair<qreal, std::string>>& found) {
        for (QQuickItem* child : parent->childItems()) {
            if (child->objectName().startsWith("snippetRow:") && child->isVisible())
                found.emplace_back(child->mapToScene({0, 0}).y(), child->objectName().mid(11).toStdString());
            collectRows(child, found);
        }
    }
    bool listShows(std::vector<std::string> expected) {
        return QTest::qWaitFor([&] { return rows() == expected; }, 2000);
    }
    std::vector<SnippetItem> stored() { return SnippetController(defaults).loadItems(); }

    testservers::TestBackend backend{testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json")};
    sablix::AppEnvironment environment;
    sablix::APIClient client{environment};
    std::unique_ptr<sablix::UpdateChecker> checker;
    platform::MemoryDefaults defaults;
    platform::MemoryDefaults settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    platform::FakeClock clock;
    sablix::RightPanelModel right{clock};
    std::unique_ptr<MiddlePanelModel> middle;
    std::unique_ptr<sablix::TagSidebarModel> tags;
    std::unique_ptr<sablix::MainWindowState> state;
    std::unique_ptr<sablix::UpdateNotice> notice;
    std::unique_ptr<sablix::SnippetDetailPresenter> detail;
    int refreshes = 0;
    int updateRequests = 0;
    QQuickView view;
    testsupport::LogCapture logs;
};

}  // namespace

TEST_F(ContentViewTest, SearchTagsSelectionAndNewSnippetWorkTogether) {
    open();
    ASSERT_TRUE(listShows({"addr", "sig", "tyvm", "bold"}));
    EXPECT_EQ(text("tagRow:__all__", "tagCount"), "4");
    EXPECT_EQ(text("tagRow:email", "tagName"), "Email");
    EXPECT_EQ(text("tagRow:email", "tagCount"), "2");
    EXPECT_FALSE(maybe("tagsEmptyState"));

    // A row: the title, the first 30 characters of the content as typed, three chips and "+2".
    QQuickItem* bold = item("snippetRow:bold");
    QQuickItem* preview = find(bold, "rowPreview");
    EXPECT_EQ(preview->property("text").toString(), "<b>not bold</b> and more text ");
    EXPECT_EQ(preview->property("textFormat").toInt(), Qt::PlainText);
    EXPECT_EQ(find(bold, "moreTags")->property("text").toString(), "+2");
    EXPECT_FALSE(find(item("snippetRow:addr"), "moreTags"));

    // Typing filters; the clear button shows only while there is text.
    EXPECT_FALSE(maybe("clearSearchButton"));
    click("searchField");
    for (char c : std::string("THANK")) QTest::keyClick(&view, c);
    EXPECT_TRUE(listShows({"tyvm"}));
    EXPECT_TRUE(maybe("clearSearchButton"));

    // Another tag keeps narrowing by the search text; a tag with no match shows the empty state.
    click("tagRow:personal");
    ASSERT_TRUE(QTest::qWaitFor([&] { return maybe("snippetEmptyState") != nullptr; }, 2000));
    EXPECT_TRUE(maybe("newSnippetButton"));
    EXPECT_TRUE(maybe("createSnippetButton"));
    click("tagRow:email");
    EXPECT_TRUE(listShows({"tyvm"}));
    click("clearSearchButton");
    EXPECT_TRUE(listShows({"sig", "tyvm"}));

    // A click selects: the detail pane's model gets the snippet and the welcome is over.
    click("snippetRow:sig");
    ASSERT_TRUE(QTest::qWaitFor([&] { return right.selectedItem().snippetTitle() == "sig"; }, 2000));
    EXPECT_EQ(state->selectedSnippetID(), right.selectedItem().id());
    EXPECT_TRUE(defaults.boolean(sablix::MainWindowState::kHasDismissedWelcomeKey));

    // A save from elsewhere in the window keeps the tag the column shows.
    EXPECT_EQ(middle->addItem(sablix::SnippetValue(snippet("thanks", "Many thanks", {"email"}))), "");
    EXPECT_TRUE(listShows({"sig", "tyvm", "thanks"}));
    EXPECT_EQ(text("tagRow:email", "tagCount"), "3");

    // Another tag clears the selection; "New Snippet" opens the editor on a blank snippet.
    click("tagRow:__all__");
    EXPECT_TRUE(listShows({"addr", "sig", "tyvm", "bold", "thanks"}));
    EXPECT_EQ(state->selectedSnippetID(), "");
    EXPECT_TRUE(right.selectedItem().isNull());
    click("snippetRow:addr");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !right.selectedItem().isNull(); }, 2000));
    click("newSnippetButton");
    EXPECT_TRUE(right.isEditingNewSnippet());
    EXPECT_EQ(right.editingSnippet().snippetTitle(), "");
    EXPECT_EQ(state->selectedSnippetID(), "");

    click("settingsButton");
    EXPECT_TRUE(state->showingSettings());
}

TEST_F(ContentViewTest, DeletingATagAsksFirstAndTakesEffectOnlyWhenStored) {
    open();
    click("tagRow:email");
    ASSERT_TRUE(listShows({"sig", "tyvm"}));

    click("tagRow:email", Qt::RightButton);
    click("deleteTagMenuItem");
    EXPECT_EQ(text("deleteTagMessage"),
              "This will remove the \"email\" tag from all snippets. The snippets themselves will not be deleted.");
    click("deleteTagCancel");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !maybe("deleteTagConfirmation"); }, 2000));
    EXPECT_EQ(stored()[1].tags, (std::vector<std::string>{"email", "work"}));

    // A refused write: the tag stays, in the store and on screen, and the user is told why.
    defaults.setFailWrites(true);
    click("tagRow:email", Qt::RightButton);
    click("deleteTagMenuItem");
    click("deleteTagConfirm");
    EXPECT_EQ(text("deleteTagFailureMessage"), MiddlePanelModel::kDeleteTagFailedMessage);
    EXPECT_TRUE(maybe("tagRow:email"));
    EXPECT_EQ(stored()[1].tags, (std::vector<std::string>{"email", "work"}));
    defaults.setFailWrites(false);
    QTest::keyClick(&view, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !maybe("deleteTagFailure"); }, 2000));

    // Deleting the selected tag falls back to all snippets.
    click("tagRow:email", Qt::RightButton);
    click("deleteTagMenuItem");
    click("deleteTagConfirm");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !maybe("tagRow:email"); }, 2000));
    EXPECT_EQ(stored()[1].tags, (std::vector<std::string>{"work"}));
    EXPECT_EQ(stored()[2].tags, (std::vector<std::string>{}));
    EXPECT_EQ(tags->selectedTag(), "");
    EXPECT_TRUE(listShows({"addr", "sig", "tyvm", "bold"}));
}

TEST_F(ContentViewTest, UpdateNoticeShowsAServedNewerVersionUntilClosed) {
    open();
    EXPECT_FALSE(maybe("updateNotice"));
    backend.reset(nlohmann::json{
        {"appcast", R"(<rss><channel><item><enclosure url="https://x/2.1" sparkle:shortVersionString="2.1"/></item>)"
                    "</channel></rss>"}});
    checker->checkForUpdate();
    EXPECT_EQ(text("updateNoticeText"), "Sablix 2.1 is available");
    click("updateButton");
    EXPECT_EQ(updateRequests, 1);
    click("dismissUpdateButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !maybe("updateNotice"); }, 2000));
    EXPECT_TRUE(checker->hasUpdate() == false && checker->availableVersion() == std::optional<std::string>("2.1"));
}
