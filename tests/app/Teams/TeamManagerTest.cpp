#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTest>

#include "Accounts/AuthManager.h"
#include "Shell/Environment/APIEndpoint.h"
#include "Teams/TeamManager.h"
#include "app/Sync/TeamDbFixture.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"

using nlohmann::json;
using platform::Uuid;

namespace sablix {
namespace {

// The fixture's people and teams: Rowan owns Support and views Design; Sales has invited him.
const std::string kRowan = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
const std::string kIlse = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");
const Uuid kDesign = *Uuid::fromString("8C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E4F");
const Uuid kSales = *Uuid::fromString("C4D5E6F7-0819-4A2B-9C3D-4E5F60718293");
constexpr std::chrono::milliseconds kTimeout{1500};
using Names = std::vector<std::string>;

json backendFixture() { return testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"); }

std::string membersPath(const Uuid& team) { return "/api/teams/" + team.toString() + "/members"; }

// Rowan signed in, as an earlier launch left him.
bool storeRowan(testsupport::FakeCredentialStore& store) {
    store.items() = {{AuthManager::kAccessTokenAccount, "access-rowan-1"},
                     {AuthManager::kRefreshTokenAccount, "refresh-rowan-1"},
                     {AuthManager::kTokenExpiryAccount, "4070908800.0"},
                     {AuthManager::kUserIdAccount, kRowan},
                     {AuthManager::kUserDataAccount, backendFixture()["auth"]["accounts"]["access-rowan-1"].dump()}};
    return true;
}

template <class Record>
Names namesOf(const std::vector<Record>& records, std::string Record::*field) {
    Names names;
    for (const auto& record : records) names.push_back(record.*field);
    return names;
}

// The team manager and the account manager as the application wires them, against the test
// backend and a team database in a fresh folder.
class TeamManagerTest : public teamdb::TeamDbTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
        ASSERT_TRUE(auth_.isAuthenticated());
    }
    // A sign-out tells the backend in the background; what is still under way ends here.
    void TearDown() override { client_.cancelAll(); }

    template <class T>
    T run(QCoro::Task<T> task) {
        return QCoro::waitFor(std::move(task));
    }
    void run(QCoro::Task<> task) { QCoro::waitFor(std::move(task)); }

    Names requests() const {
        Names out;
        for (const auto& entry : backend_.log()) out.push_back(entry.method + " " + entry.path);
        return out;
    }
    Names teamNames() const { return namesOf(teams_.teams(), &Team::name); }
    Names memberNames() const { return namesOf(teams_.members(), &TeamMember::displayName); }
    void selectAndLoad(const Uuid& team) {
        const size_t before = backend_.log().size();
        teams_.setSelectedTeamId(team);
        ASSERT_TRUE(QTest::qWaitFor([&] { return backend_.log().size() > before && !teams_.members().empty(); }));
        QTest::qWait(50);
    }
    std::string rowsOf(const Uuid& team) {
        return shell("select count(*) from team_snippets where team_id = '" + team.toString() + "'");
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
    TeamSnippetCache cache_{databasePath(), SyncTimestamps(defaults_)};
    AuthManager auth_{store_, client_, workspace_, analytics_, teams_, clock_, nullptr, kTimeout};
    TeamManager teams_{auth_, client_, cache_, analytics_, kTimeout};
};

TEST_F(TeamManagerTest, TheTeamListKeepsTheSelectionOnlyWhileItHoldsTheTeam) {
    run(teams_.fetchTeams());
    EXPECT_EQ(teamNames(), (Names{"Support", "Design"}));
    EXPECT_EQ(requests(), (Names{"GET /api/teams", "GET /api/invitations/pending"}));
    selectAndLoad(kSupport);
    EXPECT_EQ(memberNames(), (Names{"Rowan Tesk", "Ilse Varn"}));
    EXPECT_EQ(namesOf(teams_.invitations(), &TeamInvitation::email), Names{"noor@example.com"});

    // Answers that do not decode as a whole change nothing and fetch nothing more.
    backend_.reset();
    const auto before = teams_.teams();
    for (const std::string& body :
         {json::object().dump(), json{{"teams", {{{"id", kSales.toString()}}}}}.dump(), std::string("<html>")}) {
        backend_.fail("/api/teams", 200, body);
        run(teams_.fetchTeams());
        EXPECT_EQ(teams_.teams(), before) << body;
    }
    backend_.fail("/api/teams", 503, "");
    run(teams_.fetchTeams());
    EXPECT_EQ(requests(), Names(4, "GET /api/teams"));
    EXPECT_EQ(teams_.selectedTeamId(), kSupport);

    // A list that still holds the team refreshes it without reloading its members.
    json renamed = backendFixture();
    renamed["teams"]["teams"][0]["name"] = "Help Desk";
    backend_.reset(renamed);
    run(teams_.fetchTeams());
    EXPECT_EQ(teams_.currentTeam()->name, "Help Desk");
    EXPECT_EQ(requests(), (Names{"GET /api/teams", "GET /api/invitations/pending"}));

    // One without it falls back to the personal library.
    json left = backendFixture();
    left["teams"]["teams"][0]["members"].erase(0);
    backend_.reset(left);
    run(teams_.fetchTeams());
    EXPECT_EQ(teamNames(), Names{"Design"});
    EXPECT_TRUE(teams_.isPersonalMode());
    EXPECT_EQ(teams_.currentTeam(), std::nullopt);
    EXPECT_TRUE(teams_.members().empty() && teams_.invitations().empty());
}

TEST_F(TeamManagerTest, CreatingATeamReportsTheBackendsOwnReasonOrAFixedOne) {
    const auto created = run(teams_.createTeam("Docs", std::nullopt, ""));
    ASSERT_TRUE(created);
    EXPECT_EQ(json::parse(backend_.log().back().body), (json{{"name", "Docs"}, {"iconEmoji", ""}}));
    EXPECT_EQ(teams_.teams(), std::vector<Team>{*created});
    EXPECT_EQ(analytics_.names(), Names{"team_create"});

    const std::string failed = TeamManager::kCreateTeamFailedMessage;
    const std::vector<std::tuple<int, std::string, std::string>> refusals{
        {200, created->toJson().dump(), failed},
        {400, json{{"error", "Team name is required"}}.dump(), "Team name is required"},
        {400, json{{"error", 42}}.dump(), failed},
        {400, json{{"message", "no"}}.dump(), failed},
        {500, "<html>", failed},
        {201, json{{"id", created->id.toString()}}.dump(), "The team data could not be read: \"name\" is missing"},
        {0, "", APIClient::kTimedOutMessage},
    };
    for (const auto& [status, body, message] : refusals) {
        status ? backend_.fail("/api/teams", status, body) : backend_.delay("/api/teams", 3000);
        EXPECT_EQ(run(teams_.createTeam("Docs")), std::nullopt) << status << body;
        EXPECT_EQ(teams_.errorMessage(), message);
        EXPECT_FALSE(teams_.isLoading());
    }
    EXPECT_EQ(teams_.teams().size(), 1u);
    EXPECT_EQ(analytics_.names().size(), 1u);
}

TEST_F(TeamManagerTest, MembersAreManagedAsFarAsTheRoleAllows) {
    run(teams_.fetchTeams());
    selectAndLoad(kSupport);

    // Only the given fields go out: nothing given sends the empty object.
    backend_.reset();
    run(teams_.updateTeam(kSupport));
    EXPECT_EQ(backend_.log()[0].body, "{}");
    EXPECT_EQ(requests()[1], "GET /api/teams") << "the teams are reloaded after an update";

    // A user id that is no UUID never reaches the path.
    backend_.reset(backendFixture());
    run(teams_.updateMemberRole(kSupport, "not-a-uuid", "admin"));
    run(teams_.removeMember(kSupport, "not-a-uuid"));
    EXPECT_TRUE(backend_.log().empty());
    run(teams_.updateMemberRole(kSupport, kIlse, "admin"));
    EXPECT_EQ(teams_.members()[1].role, TeamRole::admin);
    run(teams_.removeMember(kSupport, kIlse));
    EXPECT_EQ(memberNames(), Names{"Rowan Tesk"});
    const std::string ilse = membersPath(kSupport) + "/" + kIlse;
    EXPECT_EQ(requests(), (Names{"PUT " + ilse, "GET " + membersPath(kSupport), "DELETE " + ilse,
                                 "GET " + membersPath(kSupport), "GET /api/teams", "GET /api/invitations/pending"}));

    // In Design Rowan only views: the backend refuses every admin call, and nothing changes here.
    teams_.setSelectedTeamId(kDesign);
    EXPECT_EQ(run(teams_.inviteMember(kDesign, "lee@example.com", "admin")), std::nullopt);
    EXPECT_EQ(teams_.errorMessage(), "Only owners and admins can invite");
    run(teams_.deleteTeam(kDesign));
    EXPECT_EQ(teamNames(), (Names{"Support", "Design"}));
    EXPECT_EQ(teams_.selectedTeamId(), kDesign);
}

TEST_F(TeamManagerTest, AMembersAnswerForATeamNoLongerSelectedIsDropped) {
    run(teams_.fetchTeams());
    backend_.delay(membersPath(kSupport), 400);
    teams_.setSelectedTeamId(kSupport);
    teams_.setSelectedTeamId(kDesign);
    // Until Support's answer is in: applied, it would show Support's members under Design.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return memberNames() == Names{"Rowan Tesk", "Ilse Varn"} ||
                   log_.has("TeamManager", "Members of team " + kSupport.toString() + " dropped: no longer selected");
        },
        3000));
    EXPECT_EQ(teams_.currentTeam()->name, "Design");
    EXPECT_EQ(memberNames(), (Names{"Mara Quell", "Rowan Tesk"}));
}

// A sync timestamp kept without the team's rows would make the next pull, after rejoining, bring
// only what changed since: it goes with them, and with every team at sign-out.
TEST_F(TeamManagerTest, ALeftOrDeletedTeamLeavesNoSnippetOnDisk) {
    {
        TeamSnippetCache writer(databasePath());
        writer.open();
        for (const Uuid& team : {kSupport, kDesign, kSales})
            writer.saveSnippet(snippet("addr", team), SyncMetadata::newLocal(clock_));
    }
    const auto timestampKept = [&](const Uuid& team) {
        return defaults_.contains("sync_timestamp_" + team.toString());
    };
    for (const Uuid& team : {kSupport, kDesign, kSales})
        defaults_.set("sync_timestamp_" + team.toString(), platform::DefaultsValue(clock_.now()));
    run(teams_.fetchTeams());
    teams_.setSelectedTeamId(kDesign);

    // The backend fails the leave; the team goes from this machine all the same.
    backend_.fail(membersPath(kDesign) + "/" + kRowan, 500, "");
    run(teams_.leaveTeam(kDesign));
    EXPECT_EQ(teamNames(), Names{"Support"});
    EXPECT_TRUE(teams_.isPersonalMode());
    EXPECT_EQ(rowsOf(kDesign), "0\n");
    EXPECT_EQ(rowsOf(kSupport), "1\n");
    EXPECT_FALSE(timestampKept(kDesign));
    EXPECT_TRUE(timestampKept(kSupport));

    run(teams_.deleteTeam(kSupport));
    EXPECT_TRUE(teams_.teams().empty());
    EXPECT_EQ(rowsOf(kSupport), "0\n");
    EXPECT_EQ(rowsOf(kSales), "1\n");
    EXPECT_FALSE(timestampKept(kSupport));
    EXPECT_TRUE(timestampKept(kSales));

    auth_.signOut();
    EXPECT_FALSE(timestampKept(kSales));
    EXPECT_TRUE(defaults_.contains(AppEnvironment::kBaseURLOverrideKey));
}

TEST_F(TeamManagerTest, AnInvitationTokenTravelsAsOnePathSegment) {
    EXPECT_EQ(APIEndpoint::invitation("a/../b?c#d%").path(), "/api/invitations/a%2F..%2Fb%3Fc%23d%25");
    json fixture = backendFixture();
    fixture["teams"]["invitations"][0]["token"] = "a/../b";
    backend_.reset(fixture);
    run(teams_.fetchTeams());

    // Refused or unknown tokens join nothing and keep the invitation.
    EXPECT_FALSE(run(teams_.acceptInvitation("")));
    EXPECT_EQ(teams_.errorMessage(), TeamManager::kInvalidInvitationMessage);
    EXPECT_FALSE(run(teams_.acceptInvitation("b")));
    backend_.fail("/api/invitations/a/../b", 201, "");
    EXPECT_FALSE(run(teams_.acceptInvitation("a/../b")));
    EXPECT_EQ(teams_.pendingInvitations().size(), 1u);
    EXPECT_TRUE(analytics_.names().empty());

    EXPECT_TRUE(run(teams_.acceptInvitation("a/../b")));
    EXPECT_EQ(teamNames(), (Names{"Support", "Design", "Sales"}));
    EXPECT_TRUE(teams_.pendingInvitations().empty());
    EXPECT_EQ(analytics_.names(), Names{"team_join"});
}

TEST_F(TeamManagerTest, APendingInvitationIsAcceptedOnceAndSignOutForgetsEveryTeam) {
    auth_.signOut();
    auth_.setPendingInvitationToken("join-sales-7Q");
    const QUrl callback(
        QString::fromStdString("sablix://auth/callback?code=access-rowan-1&refresh_token=refresh-rowan-1"
                               "&expires_at=2099-01-01T00:00:00Z&user_id=" +
                               kRowan));
    for (int signIn = 0; signIn < 2; ++signIn) {
        auth_.signInWithGoogle();
        run(auth_.handleOAuthCallback(callback));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return log_.has("AuthManager", "Auto-accepted pending invitation"); }, 3000));
    QTest::qWait(100);
    const auto sent = requests();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "POST /api/invitations/join-sales-7Q"), 1);
    EXPECT_EQ(teamNames(), (Names{"Support", "Design", "Sales"}));

    selectAndLoad(kSales);
    backend_.delay("/api/teams", 300);
    auto late = teams_.fetchTeams();
    auth_.signOut();
    EXPECT_TRUE(teams_.teams().empty());
    EXPECT_TRUE(teams_.isPersonalMode());
    EXPECT_EQ(teams_.currentTeam(), std::nullopt);
    EXPECT_TRUE(teams_.members().empty() && teams_.invitations().empty() && teams_.pendingInvitations().empty());
    // The answer of the ended session arrives and is not applied.
    run(std::move(late));
    EXPECT_TRUE(teams_.teams().empty());

    run(teams_.fetchTeams());
    const auto asked = requests();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "GET /api/teams"), 3) << "signed out, nothing is asked";
}

// The first user's teams, selection and sync must be gone before the second user's bearer is
// stored, or the first user's queued changes would be pushed with it.
TEST_F(TeamManagerTest, SigningInAsAnotherUserFirstForgetsTheTeamsOfTheOneBefore) {
    run(teams_.fetchTeams());
    selectAndLoad(kSupport);
    json fixture = backendFixture();
    fixture["auth"]["accounts"]["access-ilse-1"] = {{"id", kIlse},
                                                    {"email", "ilse@example.com"},
                                                    {"displayName", "Ilse Varn"},
                                                    {"authProvider", "google"},
                                                    {"createdAt", "2025-03-01T10:00:00Z"}};
    backend_.reset(fixture);
    Names storedWhenCleared;
    QObject::connect(&teams_, &TeamManager::selectedTeamIdChanged,
                     [&] { storedWhenCleared.push_back(store_.items()[AuthManager::kAccessTokenAccount]); });
    const auto signIn = [&](const std::string& name, const std::string& id) {
        auth_.signInWithGoogle();
        run(auth_.handleOAuthCallback(
            QUrl(QString::fromStdString("sablix://auth/callback?code=access-" + name + "-1&refresh_token=refresh-" +
                                        name + "-1&expires_at=2099-01-01T00:00:00Z&user_id=" + id))));
    };

    signIn("ilse", kIlse);
    ASSERT_TRUE(auth_.isAuthenticated());
    EXPECT_EQ(auth_.currentUser()->email, "ilse@example.com");
    EXPECT_EQ(storedWhenCleared, Names{"access-rowan-1"});
    EXPECT_TRUE(teams_.isPersonalMode());
    EXPECT_TRUE(teams_.teams().empty() && teams_.members().empty() && teams_.invitations().empty());

    // The same user signing in again keeps what is shown.
    run(teams_.fetchTeams());
    selectAndLoad(kSupport);
    signIn("ilse", kIlse);
    EXPECT_EQ(teams_.selectedTeamId(), kSupport);
    EXPECT_EQ(teamNames(), (Names{"Support"}));
}

}  // namespace
}  // namespace sablix
