// The settings sheet over the real objects it edits (hot key, snippet settings, account,
// analytics facade, tutorial flags) and the test backend, driven by clicks and keys.
#include <QClipboard>
#include <QGuiApplication>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "Analytics/AnalyticsService.h"
#include "Analytics/LoggingAnalyticsClient.h"
#include "Shell/AppNotifier.h"
#include "Shell/Hotkey/HotkeyManager.h"
#include "MainWindow/MainWindowState.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/TagSidebarModel.h"
#include "Teams/TeamManager.h"
#include "support/ViewTest.h"
#include "Settings/Views/SettingsPresenter.h"
#include "MainWindow/Views/Detail/SnippetEditorPresenter.h"
#include "desktop/QtMainQueue.h"
#include "desktop/x11/X11LocalKeyMonitor.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeHotkeyGrabber.h"
#include "support/FakeKeyLayout.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"

using sablix::SettingsPresenter;
using testservers::TestBackend;

namespace {

constexpr const char* kWebsite = "https://website.test";
nlohmann::json fixture() { return TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"); }

class SettingsViewTest : public viewtest::ViewTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
        defaults.set(sablix::MiddlePanelModel::kHasSeededStarterSnippetsKey, true);
        hotkeys.registerHotkey();
        open();
    }
    // What is still under way ends while the account still exists, as at quit.
    void TearDown() override {
        close();
        client.cancelAll();
    }
    QQuickWindow* window() override { return view.get(); }

    void open() {
        windowState.setShowingSettings(true);
        view = std::make_unique<QQuickView>();
        load(*view, "Settings/Views/SettingsView.qml", &presenter, {600, 2000});
    }
    // The sheet goes as the main window takes it away: its state closes first.
    void close() {
        windowState.setShowingSettings(false);
        view.reset();
    }
    std::vector<testservers::LoggedRequest> feedbackSent() {
        auto log = backend.log();
        std::erase_if(log, [](const auto& r) { return r.path != TestBackend::kFeedbackRoute; });
        return log;
    }
    void clickArrow(const QString& stepper, const char* arrow) {
        auto* button = item(stepper)->property(arrow).value<QObject*>();
        auto* indicator = button ? button->property("indicator").value<QQuickItem*>() : nullptr;
        ASSERT_TRUE(indicator);
        const QPointF centre = indicator->mapToScene(QPointF(indicator->width() / 2, indicator->height() / 2));
        QTest::mouseClick(view.get(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    testsupport::LogCapture logs;
    TestBackend backend{fixture()};
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
    sablix::LoggingAnalyticsClient analyticsClient;
    sablix::AnalyticsService analytics{defaults, analyticsClient, environment, platform::DeviceInfo{}};
    testsupport::FakeHotkeyGrabber grabber;
    testsupport::FakeKeyLayout layout;
    sablix::HotkeyManager hotkeys{{defaults, grabber, layout, desktop::QtMainQueue::shared(), nullptr}};
    desktop::X11LocalKeyMonitor monitor;
    sablix::HotkeyRecorder recorder{hotkeys, monitor, layout};
    sablix::SnippetSettings snippetSettings{defaults};
    testsupport::FakeCredentialStore keychain;
    // Signed in from what the keychain holds when the account is made.
    const bool signedIn =
        (keychain.items() = {{sablix::AuthManager::kAccessTokenAccount, "access-rowan-1"},
                             {sablix::AuthManager::kRefreshTokenAccount, "refresh-rowan-1"},
                             {sablix::AuthManager::kTokenExpiryAccount, "4070908800.0"},
                             {sablix::AuthManager::kUserIdAccount, "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"},
                             {sablix::AuthManager::kUserDataAccount,
                              fixture()["auth"]["accounts"]["access-rowan-1"].dump()}},
         true);
    testsupport::FakeWorkspace workspace;
    platform::FakeClock clock;
    modelstest::TempDir folder;
    sablix::TeamSnippetCache teamSnippets{folder.path() / "team_snippets.db"};
    sablix::AppNotifier notifier;
    sablix::TutorialManager tutorial{defaults, analytics, notifier};
    testsupport::FakeAnalyticsTracking panelAnalytics;
    sablix::MiddlePanelModel middle{defaults, snippetSettings, clock, [] {}, panelAnalytics, notifier};
    sablix::RightPanelModel right{clock};
    sablix::TagSidebarModel tags{middle};
    sablix::MainWindowState windowState{middle, right, tags, defaults};
    sablix::AuthManager auth{keychain, client, workspace, analytics, teams, clock, [] {}};
    sablix::TeamManager teams{auth, client, teamSnippets, analytics};
    SettingsPresenter presenter{{windowState, hotkeys, recorder, snippetSettings, auth, teams, analytics, tutorial,
                                 client, workspace, kWebsite, "2.1.0", "57", "12.0.0"}};
    std::unique_ptr<QQuickView> view;
};

}  // namespace

TEST_F(SettingsViewTest, EveryControlWritesStraightIntoWhatItShows) {
    EXPECT_EQ(text("versionText"), "Version 2.1.0 (57)");

    // An editor open behind the sheet judges its title by the new length at once.
    std::vector<sablix::SnippetItem> existing;
    sablix::SnippetEditorPresenter editor(sablix::SnippetItem(platform::Uuid::generate(), "", "content", {}, clock),
                                          existing, snippetSettings);
    editor.setSnippetTitle("sixteencharacter");
    ASSERT_TRUE(editor.displayableErrors().isEmpty());
    clickArrow("maxTitleLengthStepper", "down");
    EXPECT_EQ(defaults.integer("snippet_max_title_length"), 15);
    EXPECT_EQ(editor.displayableErrors(), QStringList{"Snippet title cannot exceed 15 characters"});
    clickArrow("maxTitleLengthStepper", "down");
    clickArrow("maxTitleLengthStepper", "down");
    EXPECT_EQ(snippetSettings.maxTitleLength(), 10) << "the stepper stops at 10";
    click("autoRemoveSpacesSwitch");
    EXPECT_FALSE(snippetSettings.autoRemoveWhitespace());

    // Analytics off: the opt-out is stored and the service sends nothing any more.
    click("analyticsSwitch");
    EXPECT_TRUE(defaults.boolean(sablix::AnalyticsService::kOptOutKey));
    EXPECT_TRUE(analytics.isOptedOut());

    click("hotkeyEnabledSwitch");
    EXPECT_FALSE(grabber.held());
    click("hotkeyEnabledSwitch");
    EXPECT_TRUE(grabber.held());

    // Closing the sheet while it records gives the keys back and the hot key returns.
    click("hotkeyRecordButton");
    EXPECT_EQ(text("hotkeyRecordButton"), "Press shortcut...");
    close();
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(monitor.running()) << "keys reach the windows again";
    EXPECT_TRUE(grabber.held());
    open();

    click("linkSupport");
    click("linkWebsite");
    EXPECT_EQ(workspace.openedURLs(), (std::vector<std::string>{std::string(kWebsite) + "/support", kWebsite}));

    // Replay makes the tutorial due and closes the sheet; Ctrl+Return closes it too.
    defaults.set(sablix::TutorialManager::kHasCompletedTutorialKey, true);
    QSignalSpy replays(&notifier, &sablix::AppNotifier::replayTutorial);
    click("replayTutorialButton");
    EXPECT_EQ(replays.count(), 1);
    EXPECT_FALSE(defaults.boolean(sablix::TutorialManager::kHasCompletedTutorialKey));
    EXPECT_FALSE(windowState.showingSettings());
    open();
    key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(windowState.showingSettings());
}

TEST_F(SettingsViewTest, TheUserCreatesATeamAndTheOfferGoes) {
    // Cancel forgets the name; Create sends it as typed and selects the new team, which the user
    // then owns: the row goes.
    click("createTeamRow");
    typeInto("teamNameField", "Draft");
    click("cancelCreateTeamButton");
    click("createTeamRow");
    EXPECT_EQ(text("teamNameField"), "");
    typeInto("teamNameField", " Crew ");
    click("createTeamButton");
    ASSERT_TRUE(waitFor([&] { return teams.selectedTeamId().has_value(); }));
    EXPECT_EQ(teams.currentTeam()->name, " Crew ");
    EXPECT_TRUE(waitFor([&] { return !shows("createTeamRow"); }));
}

TEST_F(SettingsViewTest, FeedbackIsSentOnceAndASlowBackendNeverHoldsTheSheet) {
    EXPECT_FALSE(enabled("feedbackSendButton"));
    typeInto("feedbackMessageArea", "   ");
    EXPECT_FALSE(enabled("feedbackSendButton")) << "white space is no message";
    typeInto("feedbackMessageArea", "Great app");
    click("feedbackSendButton");
    EXPECT_TRUE(waitFor([&] { return shows("feedbackSentText"); }));
    EXPECT_EQ(text("feedbackSentText"), "Sent! Thank you for your feedback.");
    EXPECT_EQ(text("feedbackMessageArea"), "");
    typeInto("feedbackMessageArea", "More");
    EXPECT_FALSE(enabled("feedbackSendButton")) << "sent stays sent while the sheet is open";
    ASSERT_EQ(feedbackSent().size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(feedbackSent()[0].body)["message"], "Great app");

    // A backend that takes its time: the sheet shows it is sending and stays usable; closed
    // meanwhile, the next opening starts afresh and never shows that request's outcome.
    close();
    open();
    EXPECT_FALSE(shows("feedbackSentText"));
    backend.delay(TestBackend::kFeedbackRoute, 1500);
    typeInto("feedbackMessageArea", "Slow");
    click("feedbackSendButton");
    EXPECT_TRUE(shows("feedbackSpinner"));
    EXPECT_FALSE(enabled("feedbackSendButton"));
    typeInto("feedbackEmailField", "me@example.com");
    EXPECT_EQ(presenter.feedback()->feedbackEmail(), "me@example.com");
    close();
    open();
    ASSERT_TRUE(waitFor([&] { return feedbackSent().size() == 2u; }));
    QTest::qWait(2000);
    EXPECT_FALSE(shows("feedbackSentText"));
    EXPECT_FALSE(shows("feedbackError"));
    EXPECT_EQ(text("feedbackMessageArea"), "");
}

// With no browser to open, the sheet says so and shows the sign-in page's address; nothing waits
// for a callback until the user copies the address to open it by hand.
TEST_F(SettingsViewTest, WithNoBrowserTheSheetSaysSoAndGivesTheAddressToOpenByHand) {
    auth.signOut();
    workspace.setOpens(false);
    click("signInButton");
    const QString address = QString::fromStdString(auth.buildGoogleAuthURL());
    ASSERT_TRUE(waitFor([&] { return shows("signInAddress"); }));
    EXPECT_EQ(text("signInError"), sablix::AuthManager::kNoBrowserMessage);
    EXPECT_EQ(text("signInAddress"), address);
    EXPECT_TRUE(enabled("signInButton"));
    EXPECT_EQ(logs.count("Opened Google sign-in in browser"), 0u);

    const QUrl callback(
        "sablix://auth/callback?code=access-rowan-1&refresh_token=refresh-rowan-1&expires_at="
        "2099-01-01T00:00:00Z&user_id=5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D");
    QCoro::waitFor(auth.handleOAuthCallback(callback));
    EXPECT_FALSE(auth.isAuthenticated()) << "a callback nobody waits for";

    click("copySignInAddressButton");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), address);
    QCoro::waitFor(auth.handleOAuthCallback(callback));
    EXPECT_TRUE(auth.isAuthenticated());
    EXPECT_TRUE(waitFor([&] { return !shows("signInAddress") && shows("signOutButton"); }));
}

// Escape closes the sheet as Done does; with the sheet's dialog open, it closes only the dialog.
TEST_F(SettingsViewTest, EscapeClosesAnOpenDialogFirstThenTheSheet) {
    ASSERT_TRUE(waitFor([&] { return shows("createTeamRow"); }));
    click("createTeamRow");
    ASSERT_TRUE(waitFor([&] { return shows("teamNameField"); }));
    key(Qt::Key_Escape);
    EXPECT_TRUE(waitFor([&] { return !shows("teamNameField"); }));
    EXPECT_TRUE(windowState.showingSettings());
    key(Qt::Key_Escape);
    EXPECT_FALSE(windowState.showingSettings());
}

// A display name and an e-mail far wider than the sheet give way: Sign Out stays inside the
// window at its smallest, where a click takes it.
TEST_F(SettingsViewTest, ALongNameNeverPushesSignOutOutOfTheWindow) {
    close();
    auto backendState = fixture();
    auto& account = backendState["auth"]["accounts"]["access-rowan-1"];
    account["displayName"] = "Rowan Alexandra Maximiliana Tesk-Featherstonehaugh of the Northern Reaches and Beyond";
    account["email"] = "rowan.alexandra.maximiliana.tesk-featherstonehaugh@a-rather-long-company-domain.example.com";
    backend.reset(backendState);
    auth.signOut();
    auth.signInWithGoogle();
    QCoro::waitFor(auth.handleOAuthCallback(
        QUrl("sablix://auth/callback?code=access-rowan-1&refresh_token=refresh-rowan-1&expires_at="
             "2099-01-01T00:00:00Z&user_id=5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D")));
    ASSERT_EQ(auth.currentUser()->email, account["email"]);

    open();
    view->resize(500, 400);  // the settings window at its smallest
    ASSERT_TRUE(waitFor([&] { return view->rootObject()->width() == 500; }));
    QQuickItem* signOut = item("signOutButton");
    const QRectF rect = signOut->mapRectToScene(QRectF(0, 0, signOut->width(), signOut->height()));
    EXPECT_TRUE(QRectF(0, 0, 500, 400).contains(rect))
        << "Sign Out at " << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height();
    click("signOutButton");
    EXPECT_FALSE(auth.isAuthenticated());
}
