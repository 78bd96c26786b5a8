// The "Snippet Source" control where the main window shows it, at the top of the tag column,
// over the real team and sync services and the test backend.
#include <QQmlProperty>
#include <gtest/gtest.h>

#include "MainWindow/MainWindowState.h"
#include "MainWindow/MainWindowTeams.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/TagSidebarModel.h"
#include "MainWindow/UpdateNotice.h"
#include "MainWindow/Views/Detail/SnippetDetailPresenter.h"
#include "Shell/AppNotifier.h"
#include "Shell/Network/NetworkMonitor.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/Updater.h"
#include "Snippets/SnippetSettings.h"
#include "Sync/SyncService.h"
#include "Teams/TeamManager.h"
#include "Teams/Views/TeamSelectorPresenter.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakePasteboard.h"
#include "support/FakePathMonitor.h"
#include "support/FakeWorkspace.h"
#include "support/SignedInBackend.h"
#include "support/ModelsTestSupport.h"
#include "support/ViewTest.h"

using nlohmann::json;
using platform::Uuid;

namespace {

const Uuid kRowan = *Uuid::fromString("5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D");
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");

class TeamSelectorViewTest : public viewtest::ViewTest, protected testsupport::SignedInBackend {
protected:
    // What is still under way ends while the account still exists, as at quit.
    void TearDown() override { client.cancelAll(); }
    QQuickWindow* window() override { return &view; }

    // The window's content as the main window shows it, at the window's default size.
    void showContent() {
        load(view, "MainWindow/Views/ContentView.qml",
             {{"middlePanelModel", QVariant::fromValue(&middle)},
              {"rightPanelModel", QVariant::fromValue(&right)},
              {"tagSidebarModel", QVariant::fromValue(&tags)},
              {"windowState", QVariant::fromValue(&windowState)},
              {"updateNotice", QVariant::fromValue(&notice)},
              {"detailPresenter", QVariant::fromValue(&detail)},
              {"teamSelector", QVariant::fromValue(&selector)}},
             {1280, 800});
    }

    sablix::NetworkMonitor network{std::make_unique<testsupport::FakePathMonitor>(), desktop::QtMainQueue::shared()};
    sablix::SyncService sync{{.cache = cache,
                              .client = client,
                              .accessToken = [this] { return auth.getValidAccessToken(); },
                              .network = network,
                              .defaults = defaults,
                              .clock = clock,
                              .refreshSnippetCache = [] {},
                              .signedInUser = [] { return std::optional(kRowan); }}};
    sablix::SnippetSettings settings{defaults};
    sablix::AppNotifier notifier;
    sablix::MiddlePanelModel middle{defaults,  settings, clock, [] {},
                                    analytics, notifier, sync,  [] { return std::optional(kRowan); }};
    sablix::RightPanelModel right{clock};
    sablix::TagSidebarModel tags{middle};
    sablix::MainWindowState windowState{middle, right, tags, defaults};
    sablix::MainWindowTeams windowTeams{{windowState, tags, middle, teams, auth, sync, {}}};
    sablix::TeamSelectorPresenter selector{teams, auth, sync, windowTeams};
    sablix::UpdateChecker checker{client, QUrl(), std::nullopt};
    sablix::Updater updater{client, workspace, QUrl(), std::nullopt};
    sablix::UpdateNotice notice{checker, updater};
    testsupport::FakePasteboard pasteboard;
    sablix::SnippetDetailPresenter detail{right, middle, settings, {clock, "", "", &pasteboard}, false};
    QQuickView view;
};

}  // namespace

// With the tag column dragged to its narrowest, a team whose name is far wider than the column,
// whose sync failed, and an invitation waiting: the name gives way, the badge still says "Sync
// Error" in full, and nothing of the control, the invitation dot included, reaches past the column.
TEST_F(TeamSelectorViewTest, EverythingStaysInsideTheTagColumnAtItsNarrowest) {
    ASSERT_TRUE(backend.start());
    json state = fixture();
    state["teams"]["teams"][0]["name"] = "Customer Support and Success for the Northern Reaches";
    backend.reset(state);
    pointAtBackend();
    teams.fetchTeams();
    teams.fetchPendingInvitations();
    ASSERT_TRUE(waitFor([&] { return teams.teams().size() == 2 && teams.pendingInvitations().size() == 1; }));
    backend.fail("/api/sync/pull", 500, "");
    teams.setSelectedTeamId(kSupport);  // starts the team's sync
    ASSERT_TRUE(waitFor([&] { return selector.syncState() == "error"; }));
    sync.stopSync();  // no later cycle replaces the error

    showContent();
    QQuickItem* control = item("teamSelector");
    QQuickItem* column = control->parentItem()->parentItem();  // the selector's loader, in the tag column
    QQmlProperty(column, "SplitView.preferredWidth", qmlContext(column)).write(0);
    const qreal narrowest = QQmlProperty(column, "SplitView.minimumWidth", qmlContext(column)).read().toReal();
    const auto outside = [&] {
        const QRectF bounds = column->mapRectToScene(QRectF(0, 0, column->width(), column->height()));
        QStringList found;
        std::function<void(QQuickItem*)> visit = [&](QQuickItem* shown) {
            if (!shown->isVisible()) return;
            const QRectF rect = shown->mapRectToScene(QRectF(0, 0, shown->width(), shown->height()));
            if (rect.left() < bounds.left() || rect.right() > bounds.right() || rect.top() < bounds.top() ||
                rect.bottom() > bounds.bottom())
                found << QString("%1 '%2' x %3-%4")
                             .arg(shown->metaObject()->className(), shown->objectName())
                             .arg(rect.left())
                             .arg(rect.right());
            for (QQuickItem* child : shown->childItems()) visit(child);
        };
        visit(control);
        return found;
    };
    EXPECT_TRUE(waitFor([&] { return column->width() == narrowest && outside().isEmpty(); }))
        << "column " << column->width() << " wide; past it: " << outside().join(", ").toStdString();

    QQuickItem* badge = item("syncStatusText");
    EXPECT_EQ(badge->property("text").toString(), "Sync Error");
    EXPECT_GE(badge->width(), badge->implicitWidth()) << "the badge's word is cut";
    EXPECT_TRUE(item("snippetSourceName")->property("truncated").toBool()) << "the team name does not give way";
    EXPECT_TRUE(shows("pendingInvitationDot"));
}
