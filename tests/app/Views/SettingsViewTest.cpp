// The settings sheet on screen (offscreen) over the real objects it edits — hot key, snippet
// settings, account, analytics facade, tutorial flags — and the test backend for feedback;
// driven by clicks and keys as a user would.
#include <QAbstractEventDispatcher>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "Models/Analytics/AnalyticsService.h"
#include "Models/AppNotifier.h"
#include "Models/Auth/AuthManager.h"
#include "Models/DeepLinks/LoggingTeamManager.h"
#include "Models/Hotkey/HotkeyManager.h"
#include "Models/Hotkey/HotkeyRecorder.h"
#include "Models/MainWindow/MainWindowState.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/MainWindow/TagSidebarModel.h"
#include "Models/Networking/APIClient.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Models/Tutorial/TutorialManager.h"
#include "Views/SettingsPresenter.h"
#include "Views/SnippetEditorForm.h"
#include "desktop/QtMainQueue.h"
#include "desktop/x11/X11LocalKeyMonitor.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeHotkeyGrabber.h"
#include "support/FakeKeyLayout.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"

using sablix::SettingsPresenter;
using testservers::TestBackend;

namespace {

constexpr const char* kWebsite = "https://website.test";

// Counts what reaches the analytics client, that is, what would leave the machine.
class CountingAnalyticsClient final : public sablix::AnalyticsClient {
public:
    void setup(const sablix::AnalyticsClientConfig&) override {}
    void identify(const std::string&) override {}
    void identify(const std::string&, const nlohmann::json&) override {}
    void capture(const std::string&, const nlohmann::json&) override { ++captured; }
    void reset() override {}
    void optOut() override {}
    void optIn() override {}
    int captured = 0;
};

class SettingsViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
        defaults.set(sablix::MiddlePanelModel::kHasSeededStarterSnippetsKey, true);
        hotkeys.registerHotkey();
        open();
    }

    void open() {
        windowState.setShowingSettings(true);
        view = std::make_unique<QQuickView>();
        view->setInitialProperties({{"presenter", QVariant::fromValue(&presenter)}});
        view->setResizeMode(QQuickView::SizeRootObjectToView);
        view->resize(600, 2000);
        view->setSource(QUrl("qrc:/Sablix/Views/SettingsView.qml"));
        ASSERT_EQ(view->status(), QQuickView::Ready) << view->errors().value(0).toString().toStdString();
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        view->requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    }
    // The sheet goes as the main window takes it away: its state closes first.
    void close() {
        windowState.setShowingSettings(false);
        view.reset();
    }

    static QQuickItem* find(QQuickItem* parent, const QString& objectName) {
        if (parent->objectName() == objectName && parent->isVisible()) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, objectName)) return found;
        return nullptr;
    }
    bool shows(const QString& objectName) { return find(view->contentItem(), objectName) != nullptr; }
    QQuickItem* item(const QString& objectName) {
        QQuickItem* found = nullptr;
        if (!QTest::qWaitFor([&] { return (found = find(view->contentItem(), objectName)) != nullptr; }, 2000))
            throw std::runtime_error("no visible item " + objectName.toStdString());
        return found;
    }
    QString text(const QString& objectName) { return item(objectName)->property("text").toString(); }
    qreal top(const QString& objectName) { return item(objectName)->mapToScene({0, 0}).y(); }
    void click(const QString& objectName) {
        QQuickItem* target = item(objectName);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(view.get(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    // One of a spin box's arrows.
    void clickArrow(const QString& objectName, const char* arrow) {
        auto* button = item(objectName)->property(arrow).value<QObject*>();
        auto* indicator = button ? button->property("indicator").value<QQuickItem*>() : nullptr;
        ASSERT_TRUE(indicator);
        const QPointF centre = indicator->mapToScene(QPointF(indicator->width() / 2, indicator->height() / 2));
        QTest::mouseClick(view.get(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    void typeInto(const QString& objectName, const std::string& text) {
        click(objectName);
        ASSERT_TRUE(QTest::qWaitFor([&] { return item(objectName)->hasActiveFocus(); }, 2000));
        for (char c : text) QTest::keyClick(view.get(), c);
    }
    // A key press as X hands it to the application's window.
    static bool pressX(uint8_t xKeycode, uint16_t xState) {
        xcb_key_press_event_t event{};
        event.response_type = XCB_KEY_PRESS;
        event.detail = xKeycode;
        event.state = xState;
        event.root = 1;
        event.event = 2;
        qintptr result = 0;
        return QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &event, &result);
    }

    testsupport::LogCapture logs;
    TestBackend backend;
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
    CountingAnalyticsClient analyticsClient;
    sablix::AnalyticsService analytics{defaults, analyticsClient, environment, platform::DeviceInfo{}};
    testsupport::FakeHotkeyGrabber grabber;
    testsupport::FakeKeyLayout layout;
    sablix::HotkeyManager hotkeys{sablix::HotkeyManager::Collaborators{
        .userDefaults = defaults,
        .grabber = grabber,
        .keyLayout = layout,
        .mainQueue = desktop::QtMainQueue::shared(),
        .toggleApplication = nullptr,
    }};
    desktop::X11LocalKeyMonitor monitor;
    sablix::HotkeyRecorder recorder{hotkeys, monitor, layout};
    sablix::SnippetSettings snippetSettings{defaults};
    testsupport::FakeCredentialStore keychain;
    testsupport::FakeWorkspace workspace;
    sablix::LoggingTeamManager teams;
    platform::FakeClock clock;
    sablix::AuthManager auth{keychain, client, workspace, analytics, teams, clock, [] {}};
    sablix::AppNotifier notifier;
    sablix::TutorialManager tutorial{defaults, analytics, notifier};
    testsupport::FakeAnalyticsTracking panelAnalytics;
    sablix::MiddlePanelModel middle{defaults, snippetSettings, [] {}, panelAnalytics, notifier};
    sablix::RightPanelModel right{clock};
    sablix::TagSidebarModel tags{middle};
    sablix::MainWindowState windowState{middle, right, tags, defaults};
    SettingsPresenter presenter{SettingsPresenter::Collaborators{
        .windowState = windowState,
        .hotkeyManager = hotkeys,
        .recorder = recorder,
        .snippetSettings = snippetSettings,
        .authManager = auth,
        .teamManager = teams,
        .analytics = analytics,
        .tutorial = tutorial,
        .client = client,
        .workspace = workspace,
        .websiteURL = kWebsite,
        .appVersion = "2.1.0",
        .buildNumber = "57",
        .osVersion = "12.0.0",
        .feedbackTimeout = sablix::FeedbackForm::kTimeout,
    }};
    std::unique_ptr<QQuickView> view;
};

}  // namespace

TEST_F(SettingsViewTest, EveryControlWritesStraightIntoWhatItShows) {
    // The sections in their fixed order; signed out, the account offers the sign-in.
    EXPECT_LT(top("accountSection"), top("hotkeySection"));
    EXPECT_LT(top("hotkeySection"), top("snippetsSection"));
    EXPECT_LT(top("snippetsSection"), top("analyticsSection"));
    EXPECT_LT(top("analyticsSection"), top("feedbackSection"));
    EXPECT_LT(top("feedbackSection"), top("aboutSection"));
    EXPECT_TRUE(shows("signInCard"));
    EXPECT_FALSE(shows("userCard"));
    EXPECT_EQ(text("versionText"), "Version 2.1.0 (57)");

    // An editor open behind the sheet judges its title by the new length at once.
    std::vector<sablix::SnippetItem> existing;
    sablix::SnippetEditorForm editor(sablix::SnippetItem(platform::Uuid::generate(), "", "content", {}), existing,
                                     snippetSettings);
    editor.setSnippetTitle("sixteencharacter");
    ASSERT_TRUE(editor.displayableErrors().isEmpty());
    EXPECT_EQ(text("maxTitleLengthValue"), "20");
    clickArrow("maxTitleLengthStepper", "down");
    EXPECT_EQ(text("maxTitleLengthValue"), "15");
    EXPECT_EQ(defaults.integer("snippet_max_title_length"), 15);
    EXPECT_EQ(editor.displayableErrors(), QStringList{"Snippet title cannot exceed 15 characters"});
    clickArrow("maxTitleLengthStepper", "down");
    clickArrow("maxTitleLengthStepper", "down");
    EXPECT_EQ(snippetSettings.maxTitleLength(), 10) << "the stepper stops at 10";
    click("autoRemoveSpacesSwitch");
    EXPECT_FALSE(snippetSettings.autoRemoveWhitespace());

    // Analytics off: the opt-out is stored and nothing leaves any more.
    EXPECT_TRUE(item("analyticsSwitch")->property("checked").toBool());
    analytics.track(sablix::AnalyticsEvent::appLaunch);
    ASSERT_EQ(analyticsClient.captured, 1);
    click("analyticsSwitch");
    EXPECT_TRUE(defaults.boolean(sablix::AnalyticsService::kOptOutKey));
    analytics.track(sablix::AnalyticsEvent::appLaunch);
    EXPECT_EQ(analyticsClient.captured, 1);

    // The hot-key switch; the recorder stays.
    click("hotkeyEnabledSwitch");
    EXPECT_FALSE(hotkeys.isEnabled());
    EXPECT_FALSE(grabber.held());
    click("hotkeyEnabledSwitch");
    EXPECT_TRUE(grabber.held());
    EXPECT_EQ(text("hotkeyRecordButton"), "⌃Space");

    // Closing the sheet while it records gives the keys back and the hot key returns.
    click("hotkeyRecordButton");
    EXPECT_EQ(text("hotkeyRecordButton"), "Press shortcut...");
    EXPECT_FALSE(grabber.held());
    close();
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(pressX(45, XCB_MOD_MASK_CONTROL)) << "keys reach the windows again";
    EXPECT_TRUE(grabber.held());
    open();

    click("linkSupport");
    click("linkWebsite");
    EXPECT_EQ(workspace.openedURLs(), (std::vector<std::string>{std::string(kWebsite) + "/support", kWebsite}));

    // Replay makes the tutorial due and closes the sheet; Done closes it too.
    defaults.set(sablix::TutorialManager::kHasCompletedTutorialKey, true);
    QSignalSpy replays(&notifier, &sablix::AppNotifier::replayTutorial);
    click("replayTutorialButton");
    EXPECT_EQ(replays.count(), 1);
    EXPECT_FALSE(defaults.boolean(sablix::TutorialManager::kHasCompletedTutorialKey));
    EXPECT_FALSE(windowState.showingSettings());
    open();
    QTest::keyClick(view.get(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(windowState.showingSettings());
}

TEST_F(SettingsViewTest, SignedInTheAccountShowsTheUserAndOffersATeam) {
    // A user restored from the credential store.
    close();
    keychain.saveString(R"({"id":"1F0C1D0B-2B5E-4C36-8E0A-1B2C3D4E5F60","email":"ada@example.com",)"
                        R"("displayName":"Ada","authProvider":"google","createdAt":"2024-01-01T00:00:00Z"})",
                        sablix::AuthManager::kUserDataAccount);
    keychain.saveString("4102444800", sablix::AuthManager::kTokenExpiryAccount);
    sablix::AuthManager signedIn(keychain, client, workspace, analytics, teams, clock, [] {});
    ASSERT_TRUE(signedIn.isAuthenticated());
    SettingsPresenter presenterSignedIn{SettingsPresenter::Collaborators{
        .windowState = windowState,
        .hotkeyManager = hotkeys,
        .recorder = recorder,
        .snippetSettings = snippetSettings,
        .authManager = signedIn,
        .teamManager = teams,
        .analytics = analytics,
        .tutorial = tutorial,
        .client = client,
        .workspace = workspace,
        .websiteURL = kWebsite,
        .appVersion = std::nullopt,
        .buildNumber = std::nullopt,
        .osVersion = "12.0.0",
    }};
    windowState.setShowingSettings(true);
    view = std::make_unique<QQuickView>();
    view->setInitialProperties({{"presenter", QVariant::fromValue(&presenterSignedIn)}});
    view->resize(600, 2000);
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->setSource(QUrl("qrc:/Sablix/Views/SettingsView.qml"));
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));

    EXPECT_EQ(text("userDisplayName"), "Ada");
    EXPECT_EQ(text("userEmail"), "ada@example.com");
    EXPECT_FALSE(shows("signInCard"));
    EXPECT_EQ(text("versionText"), "Version 1.0.0 (1)");

    // No team is owned: the row offers one. Creating asks the team manager with the name as typed.
    click("createTeamRow");
    typeInto("teamNameField", " Crew ");
    click("createTeamButton");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return logs.has("TeamManager", "Team not created: teams are not available in this build"); }, 2000));
    EXPECT_FALSE(shows("createTeamDialog"));
    click("createTeamRow");
    EXPECT_EQ(text("teamNameField"), "") << "the name is not kept for the next time";
    click("cancelCreateTeamButton");
    EXPECT_FALSE(shows("createTeamDialog"));

    click("signOutButton");
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("signInCard"); }, 2000));
    windowState.setShowingSettings(false);
    view.reset();
}

TEST_F(SettingsViewTest, FeedbackIsSentOnceAndASlowBackendNeverHoldsTheSheet) {
    EXPECT_FALSE(item("feedbackSendButton")->isEnabled());
    typeInto("feedbackMessageArea", "   ");
    EXPECT_FALSE(item("feedbackSendButton")->isEnabled()) << "white space is no message";
    typeInto("feedbackMessageArea", "Great app");
    click("feedbackSendButton");
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows("feedbackSentText"); }, 5000));
    EXPECT_EQ(text("feedbackSentText"), "Sent! Thank you for your feedback.");
    EXPECT_EQ(text("feedbackMessageArea"), "");
    typeInto("feedbackMessageArea", "More");
    EXPECT_FALSE(item("feedbackSendButton")->isEnabled()) << "sent stays sent while the sheet is open";
    ASSERT_EQ(backend.log().size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(backend.log()[0].body)["message"], "Great app");

    // A backend that takes its time: the sheet shows it is sending and stays usable; closed
    // meanwhile, the next opening starts afresh and never shows that request's outcome.
    close();
    open();
    EXPECT_TRUE(item("feedbackSendButton")->isEnabled() == false && !shows("feedbackSentText"));
    backend.delay(TestBackend::kFeedbackRoute, 1500);
    typeInto("feedbackMessageArea", "Slow");
    click("feedbackSendButton");
    EXPECT_TRUE(shows("feedbackSpinner"));
    EXPECT_FALSE(item("feedbackSendButton")->isEnabled());
    typeInto("feedbackEmailField", "me@example.com");
    EXPECT_EQ(presenter.feedback()->feedbackEmail(), "me@example.com");
    close();
    open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return backend.log().size() == 2u; }, 3000));
    QTest::qWait(2000);
    EXPECT_FALSE(shows("feedbackSentText"));
    EXPECT_FALSE(shows("feedbackError"));
    EXPECT_EQ(text("feedbackMessageArea"), "");
}
