// The team settings sheet for a signed-in member, over the real team service and the test
// backend, driven by clicks and keys. Inviting and deleting as the owner run end to end too.
#include <gtest/gtest.h>

#include "Models/Teams/TeamManager.h"
#include "ViewTest.h"
#include "Views/TeamSettingsPresenter.h"
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
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");  // Rowan owns it, Ilse edits

json fixture() { return testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"); }

class TeamSettingsViewTest : public viewtest::ViewTest {
protected:
    // Rowan's sheet for "Support" once its members and Noor's invitation are in.
    void openSheet(const json& state) {
        ASSERT_TRUE(backend.start());
        backend.reset(state);
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
        manager.fetchTeams();
        ASSERT_TRUE(waitFor([&] { return manager.teams().size() == 2; }));
        manager.setSelectedTeamId(kSupport);
        ASSERT_TRUE(waitFor([&] { return manager.members().size() == 2 && manager.invitations().size() == 1; }));
        sheet.open();
        view = std::make_unique<QQuickView>();
        load(*view, "TeamSettingsView.qml", &sheet, {500, 1400});
    }
    // Reloads an action started end here, as at quit, before the managers go.
    void TearDown() override { client.cancelAll(); }
    QQuickWindow* window() override { return view.get(); }

    testsupport::LogCapture logs;
    testservers::TestBackend backend;
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
                                                fixture()["auth"]["accounts"]["access-rowan-1"].dump()}},
                           true);
    testsupport::FakeWorkspace workspace;
    testsupport::FakeAnalyticsTracking analytics;
    platform::FakeClock clock{platform::Date::fromUnix(1767225600.0)};
    modelstest::TempDir folder;
    sablix::TeamSnippetCache cache{folder.path() / "team_snippets.db"};
    sablix::AuthManager auth{keychain, client, workspace, analytics, manager, clock, nullptr};
    sablix::TeamManager manager{auth, client, cache, analytics};
    testsupport::FakePasteboard pasteboard;
    sablix::TeamSettingsPresenter sheet{manager, pasteboard};
    std::unique_ptr<QQuickView> view;
};

}  // namespace

TEST_F(TeamSettingsViewTest, TheOwnerInvitesCopiesTheLinkAndManagesEveryoneButThemselves) {
    openSheet(fixture());
    EXPECT_TRUE(shows("deleteTeamButton"));
    EXPECT_FALSE(shows("leaveTeamButton"));
    EXPECT_TRUE(shows("rolePicker_ilse@example.com") && shows("removeMember_ilse@example.com"));
    EXPECT_FALSE(shows("rolePicker_rowan@example.com") || shows("removeMember_rowan@example.com"));

    typeInto("inviteEmailField", "kai@example.com");
    click("inviteButton");
    item("invitationSentLabel");
    item("invitationRow_kai@example.com");  // shown as pending, beside Noor's
    EXPECT_EQ(text("inviteEmailField"), "");

    click("copyLinkButton");
    const std::string link = pasteboard.string().value_or("");
    EXPECT_TRUE(link.starts_with(sablix::TeamSettingsPresenter::kInviteLinkPrefix)) << link;
    EXPECT_GT(link.size(), std::string(sablix::TeamSettingsPresenter::kInviteLinkPrefix).size());
}

TEST_F(TeamSettingsViewTest, AnAdminLeavesRatherThanDeletesAndCannotTouchTheOwner) {
    json adminFixture = fixture();
    auto& members = adminFixture["teams"]["teams"][0]["members"];
    members[0]["role"] = "admin";  // Rowan
    members[1]["role"] = "owner";  // Ilse
    openSheet(adminFixture);
    EXPECT_TRUE(shows("leaveTeamButton"));
    EXPECT_FALSE(shows("deleteTeamButton"));
    EXPECT_TRUE(shows("roleBadge_ilse@example.com"));
    EXPECT_FALSE(shows("rolePicker_ilse@example.com") || shows("removeMember_ilse@example.com"));
    for (const QVariant& choice : sheet.roleChoices()) EXPECT_NE(choice.toMap().value("value"), "admin");
}
