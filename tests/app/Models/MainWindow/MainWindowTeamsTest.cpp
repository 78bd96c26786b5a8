#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTest>

#include "Models/AppNotifier.h"
#include "Models/Auth/AuthManager.h"
#include "Models/MainWindow/MainWindowState.h"
#include "Models/MainWindow/MainWindowTeams.h"
#include "Models/MainWindow/MiddlePanelModel.h"
#include "Models/MainWindow/RightPanelModel.h"
#include "Models/MainWindow/TagSidebarModel.h"
#include "Models/Snippets/SnippetSettings.h"
#include "Models/Sync/SyncService.h"
#include "Models/Teams/TeamManager.h"
#include "app/Models/Sync/TeamDbFixture.h"
#include "desktop/QtMainQueue.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakePathMonitor.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"
#include "Views/TeamSelectorPresenter.h"

using nlohmann::json;
using platform::Uuid;

namespace sablix {
namespace {

const std::string kRowan = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");  // Rowan owns it
const Uuid kDesign = *Uuid::fromString("8C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E4F");   // Rowan views it
constexpr std::chrono::milliseconds kTimeout{1500};

json backendFixture() { return testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"); }

bool storeRowan(testsupport::FakeCredentialStore& store) {
    store.items() = {{AuthManager::kAccessTokenAccount, "access-rowan-1"},
                     {AuthManager::kRefreshTokenAccount, "refresh-rowan-1"},
                     {AuthManager::kTokenExpiryAccount, "4070908800.0"},
                     {AuthManager::kUserIdAccount, kRowan},
                     {AuthManager::kUserDataAccount, backendFixture()["auth"]["accounts"]["access-rowan-1"].dump()}};
    return true;
}

// The window's models and the team, account and sync services as the application wires them,
// against the test backend, with the expansion engine replaced by a record of its calls.
class MainWindowTeamsTest : public teamdb::TeamDbTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
        platform::NetworkPath offline;
        testsupport::FakePathMonitor::report(*pathState_, offline);
    }
    // Requests still under way (the members of a team just selected) end here, as at quit.
    void TearDown() override {
        client_.cancelAll();
        teamdb::TeamDbTest::TearDown();
    }

    testsupport::LogCapture log_;
    testservers::TestBackend backend_{backendFixture()};
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
    testsupport::FakeCredentialStore store_;
    const bool stored_ = storeRowan(store_);
    testsupport::FakeWorkspace workspace_;
    testsupport::FakeAnalyticsTracking analytics_;
    platform::FakeClock clock_{platform::Date::fromUnix(1767225600.0)};
    TeamSnippetCache cache_{databasePath()};
    AuthManager auth_{store_, client_, workspace_, analytics_, teams_, clock_, nullptr, kTimeout};
    TeamManager teams_{auth_, client_, cache_, analytics_, kTimeout};
    std::unique_ptr<testsupport::FakePathMonitor> monitor_ = std::make_unique<testsupport::FakePathMonitor>();
    std::shared_ptr<testsupport::FakePathMonitor::State> pathState_ = monitor_->state();
    NetworkMonitor network_{std::move(monitor_), desktop::QtMainQueue::shared()};
    SyncService sync_{{.cache = cache_,
                       .client = client_,
                       .accessToken = [this] { return auth_.getValidAccessToken(); },
                       .network = network_,
                       .defaults = defaults_,
                       .clock = clock_,
                       .refreshSnippetCache = nullptr}};
    platform::MemoryDefaults settingsStore_;
    SnippetSettings settings_{settingsStore_};
    AppNotifier notifier_;
    std::vector<std::string> engineCalls_;
    const bool noStarters_ = defaults_.set(MiddlePanelModel::kHasSeededStarterSnippetsKey, true);
    MiddlePanelModel middle_{defaults_, settings_, [this] { engineCalls_.push_back("refresh"); }, analytics_,
                             notifier_, sync_,     [] { return Uuid::fromString(kRowan); }};
    RightPanelModel right_{clock_};
    TagSidebarModel tags_{middle_};
    MainWindowState state_{middle_, right_, tags_, defaults_};
    MainWindowTeams windowTeams_{{.windowState = state_,
                                  .tagSidebarModel = tags_,
                                  .middlePanelModel = middle_,
                                  .teamManager = teams_,
                                  .authManager = auth_,
                                  .syncService = sync_,
                                  .engine = {.setActiveTeamId =
                                                 [this](std::optional<Uuid> team) {
                                                     engineCalls_.push_back("active " +
                                                                            (team ? team->toString() : "none"));
                                                 },
                                             .refreshSnippetCache = [this] { engineCalls_.push_back("refresh"); }}}};
    TeamSelectorPresenter selector_{teams_, auth_, sync_, windowTeams_};
};

}  // namespace

TEST_F(MainWindowTeamsTest, ASelectedTeamBecomesTheListAndTheEnginesSourceAndItsSettingsFollowTheRole) {
    windowTeams_.contentShown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return teams_.teams().size() == 2 && teams_.pendingInvitations().size() == 1; }));
    SnippetItem shown(Uuid::generate(), "mine", "text", {"work"});
    ASSERT_EQ(middle_.addItem(SnippetValue(shown)).toStdString(), "");
    state_.setSelectedSnippetID(QString::fromStdString(shown.id.toString()));
    tags_.setSelectedTag("work");
    engineCalls_.clear();
    EXPECT_FALSE(windowTeams_.canShowTeamSettings());

    teams_.setSelectedTeamId(kSupport);
    // The engine rebuilds its triggers right after it learns the team, or the last team's would
    // go on expanding.
    EXPECT_EQ(engineCalls_, (std::vector<std::string>{"active " + kSupport.toString(), "refresh"}));
    EXPECT_TRUE(middle_.isTeamMode());
    EXPECT_TRUE(middle_.allItems().empty());
    EXPECT_EQ(state_.selectedSnippetID(), "");
    EXPECT_EQ(tags_.selectedTag(), "");
    EXPECT_TRUE(windowTeams_.canShowTeamSettings());                           // owner
    EXPECT_EQ(sync_.syncState().kind, SyncService::SyncState::Kind::offline);  // its sync started

    teams_.setSelectedTeamId(kDesign);
    EXPECT_FALSE(windowTeams_.canShowTeamSettings());  // viewer

    engineCalls_.clear();
    teams_.setSelectedTeamId(std::nullopt);
    EXPECT_EQ(engineCalls_, (std::vector<std::string>{"active none", "refresh"}));
    EXPECT_FALSE(middle_.isTeamMode());
    EXPECT_EQ(middle_.allItems().size(), 1u);
    EXPECT_FALSE(windowTeams_.canShowTeamSettings());

    // The selector: Rowan owns a team, so no "Create Team..."; a declined invitation only leaves
    // this list, and the selector stays while a team remains.
    EXPECT_EQ(selector_.sourceName(), "Personal Snippets");
    EXPECT_TRUE(selector_.ownsATeam());
    ASSERT_EQ(selector_.invitations().size(), 1);
    const QVariantMap invitation = selector_.invitations()[0].toMap();
    EXPECT_EQ(invitation["title"].toString(), "Sales (editor)");
    selector_.decline(invitation["id"].toString());
    EXPECT_FALSE(selector_.hasPendingInvitations());
    EXPECT_TRUE(selector_.shouldShow());
}

}  // namespace sablix
