// The role rules of the team settings sheet against the test backend, which enforces the same
// roles: what each role is offered must be what the backend lets that role do.
#include <algorithm>

#include <QTest>
#include <gtest/gtest.h>

#include "Models/Auth/AuthManager.h"
#include "Models/Networking/APIClient.h"
#include "Models/Sync/TeamSnippetCache.h"
#include "Models/Teams/TeamManager.h"
#include "Views/TeamSettingsPresenter.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"
#include "support/ModelsTestSupport.h"

using nlohmann::json;
using platform::Uuid;

namespace {

const std::string kRowan = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
const std::string kIlse = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
const std::string kMara = "7B6A5948-3726-4150-8F9E-8D7C6B5A4938";
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");  // Rowan owns it
const Uuid kDesign = *Uuid::fromString("8C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E4F");   // Rowan views it

json backendFixture() { return testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"); }

class TeamSettingsPresenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
    }
    // Reloads an action started end here, as at quit, before the managers go.
    void TearDown() override { client.cancelAll(); }

    // Loads the teams until the user has the role in the team, selects it, waits for the member
    // and opens the team's sheet.
    void openSheetFor(const Uuid& team, sablix::TeamRole role, const std::string& member) {
        teams.fetchTeams();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return std::ranges::any_of(teams.teams(),
                                           [&](const auto& t) { return t.id == team && t.role == role; });
            },
            3000));
        teams.setSelectedTeamId(team);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !roleOf(member).empty(); }, 3000));
        sheet.open();
    }
    QVariantMap row(const std::string& userId) {
        for (const QVariant& member : sheet.members())
            if (member.toMap().value("userId").toString().toStdString() == userId) return member.toMap();
        return {};
    }
    std::string roleOf(const std::string& userId) { return row(userId).value("role").toString().toStdString(); }
    QStringList choices() {
        QStringList values;
        for (const QVariant& choice : sheet.roleChoices()) values << choice.toMap().value("value").toString();
        return values;
    }
    int memberWrites() {
        int count = 0;
        for (const auto& request : backend.log())
            if ((request.method == "PUT" || request.method == "DELETE") &&
                request.path.find("/members/") != std::string::npos)
                ++count;
        return count;
    }

    testsupport::LogCapture logs;
    testservers::TestBackend backend{backendFixture()};
    platform::MemoryDefaults defaults;
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
    testsupport::FakeCredentialStore keychain;
    // The account signs in from what the keychain holds when it is made.
    const bool signedIn = (keychain.items() = {{sablix::AuthManager::kAccessTokenAccount, "access-rowan-1"},
                                               {sablix::AuthManager::kRefreshTokenAccount, "refresh-rowan-1"},
                                               {sablix::AuthManager::kTokenExpiryAccount, "4070908800.0"},
                                               {sablix::AuthManager::kUserIdAccount, kRowan},
                                               {sablix::AuthManager::kUserDataAccount,
                                                backendFixture()["auth"]["accounts"]["access-rowan-1"].dump()}},
                           true);
    testsupport::FakeWorkspace workspace;
    testsupport::FakeAnalyticsTracking analytics;
    platform::FakeClock clock{platform::Date::fromUnix(1767225600.0)};
    modelstest::TempDir folder;
    sablix::TeamSnippetCache cache{folder.path() / "team_snippets.db"};
    sablix::AuthManager auth{keychain, client, workspace, analytics, teams, clock, nullptr};
    sablix::TeamManager teams{auth, client, cache, analytics};
    testsupport::FakePasteboard pasteboard;
    sablix::TeamSettingsPresenter sheet{teams, pasteboard};
};

}  // namespace

TEST_F(TeamSettingsPresenterTest, EachRoleIsOfferedWhatTheBackendLetsItDo) {
    // Owner: every non-owner row is managed, and Admin can be given.
    openSheetFor(kSupport, sablix::TeamRole::owner, kIlse);
    EXPECT_TRUE(sheet.canManageMembers());
    EXPECT_EQ(choices(), (QStringList{"viewer", "editor", "admin"}));
    EXPECT_FALSE(row(kRowan).value("hasControls").toBool());  // the owner's own row
    EXPECT_TRUE(row(kIlse).value("hasControls").toBool());
    sheet.changeRole(QString::fromStdString(kIlse), "admin");
    ASSERT_TRUE(QTest::qWaitFor([&] { return roleOf(kIlse) == "admin"; }, 3000));
    sheet.changeRole(QString::fromStdString(kRowan), "editor");  // the owner keeps the role
    sheet.changeRole(QString::fromStdString(kIlse), "owner");    // never offered
    QTest::qWait(200);
    EXPECT_EQ(memberWrites(), 1);
    EXPECT_EQ(roleOf(kRowan), "owner");
    sheet.dismiss();

    // Viewer: badges only, nothing sent.
    openSheetFor(kDesign, sablix::TeamRole::viewer, kMara);
    EXPECT_FALSE(sheet.canManageMembers());
    EXPECT_FALSE(sheet.isOwner());
    for (const QVariant& member : sheet.members()) EXPECT_FALSE(member.toMap().value("hasControls").toBool());
    sheet.removeMember(QString::fromStdString(kRowan));
    QTest::qWait(200);
    EXPECT_EQ(memberWrites(), 1);
    sheet.dismiss();

    // Admin: own row and other admins' rows are managed, the owner's is not, Admin is not offered.
    json fixture = backendFixture();
    for (json& team : fixture["teams"]["teams"])
        if (team["name"] == "Design") {
            team["members"][1]["role"] = "admin";
            team["members"].push_back({{"id", "m-design-ilse"},
                                       {"userId", kIlse},
                                       {"email", "ilse@example.com"},
                                       {"displayName", "Ilse Varn"},
                                       {"role", "admin"},
                                       {"joinedAt", "2025-06-01T09:00:00Z"}});
        }
    backend.reset(fixture);
    teams.setSelectedTeamId(std::nullopt);
    openSheetFor(kDesign, sablix::TeamRole::admin, kIlse);
    EXPECT_TRUE(sheet.canManageMembers());
    EXPECT_EQ(choices(), (QStringList{"viewer", "editor"}));
    EXPECT_FALSE(row(kMara).value("hasControls").toBool());
    EXPECT_TRUE(row(kRowan).value("hasControls").toBool());
    EXPECT_TRUE(row(kIlse).value("hasControls").toBool());
    sheet.changeRole(QString::fromStdString(kIlse), "editor");
    ASSERT_TRUE(QTest::qWaitFor([&] { return roleOf(kIlse) == "editor"; }, 3000));
    sheet.removeMember(QString::fromStdString(kIlse));
    ASSERT_TRUE(QTest::qWaitFor([&] { return teams.members().size() == 2; }, 3000));
}
