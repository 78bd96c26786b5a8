// The team settings sheet on screen (offscreen) for the team its user owns, over the real team
// service and the test backend, driven by clicks and keys.
#include <algorithm>

#include <QQuickItem>
#include <QQuickView>
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
const Uuid kSupport = *Uuid::fromString("3F0C9A4E-6B1D-4C2A-9E5F-1A2B3C4D5E6F");  // Rowan owns it

json backendFixture() { return testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"); }

class TeamSettingsViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend.start());
        defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
        teams.fetchTeams();
        ASSERT_TRUE(QTest::qWaitFor([&] { return teams.teams().size() == 2; }, 3000));
        teams.setSelectedTeamId(kSupport);
        ASSERT_TRUE(QTest::qWaitFor([&] { return teams.members().size() == 2; }, 3000));
        sheet.open();

        view = std::make_unique<QQuickView>();
        view->setInitialProperties({{"presenter", QVariant::fromValue(&sheet)}});
        view->setResizeMode(QQuickView::SizeRootObjectToView);
        view->resize(500, 1400);
        view->setSource(QUrl("qrc:/Sablix/Views/TeamSettingsView.qml"));
        ASSERT_EQ(view->status(), QQuickView::Ready) << view->errors().value(0).toString().toStdString();
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        view->requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    }
    // Reloads an action started end here, as at quit, before the managers go.
    void TearDown() override { client.cancelAll(); }

    static QQuickItem* find(QQuickItem* parent, const QString& objectName) {
        if (parent->objectName() == objectName && parent->isVisible()) return parent;
        for (QQuickItem* child : parent->childItems())
            if (QQuickItem* found = find(child, objectName)) return found;
        return nullptr;
    }
    QQuickItem* item(const QString& objectName) {
        QQuickItem* found = nullptr;
        if (!QTest::qWaitFor([&] { return (found = find(view->contentItem(), objectName)) != nullptr; }, 3000))
            throw std::runtime_error("no visible item " + objectName.toStdString());
        return found;
    }
    void click(const QString& objectName) {
        QQuickItem* target = item(objectName);
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(view.get(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    void typeInto(const QString& objectName, const std::string& text) {
        click(objectName);
        ASSERT_TRUE(QTest::qWaitFor([&] { return item(objectName)->hasActiveFocus(); }, 2000));
        for (char c : text) QTest::keyClick(view.get(), c);
    }
    bool logged(const std::string& method, const std::string& path) {
        const auto log = backend.log();
        return std::ranges::any_of(log, [&](const auto& r) { return r.method == method && r.path == path; });
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
    std::unique_ptr<QQuickView> view;
};

}  // namespace

TEST_F(TeamSettingsViewTest, AnOwnerInvitesCopiesTheLinkAndDeletesTheTeam) {
    const std::string members = "/api/teams/" + kSupport.toString() + "/members";
    typeInto("inviteEmailField", "kai@example.com");
    click("inviteButton");
    item("invitationSentLabel");
    const auto log = backend.log();
    const auto sent = std::ranges::find_if(log, [&](const auto& r) { return r.method == "POST" && r.path == members; });
    ASSERT_NE(sent, log.end());
    EXPECT_EQ(json::parse(sent->body), (json{{"email", "kai@example.com"}, {"role", "viewer"}}));
    EXPECT_EQ(sheet.inviteEmail(), "");
    EXPECT_EQ(sheet.invitations().size(), 2);  // Noor's and Kai's, shown as pending
    item("invitationRow_kai@example.com");

    click("copyLinkButton");
    const std::string link = pasteboard.string().value_or("");
    EXPECT_TRUE(link.starts_with(sablix::TeamSettingsPresenter::kInviteLinkPrefix)) << link;
    EXPECT_GT(link.size(), std::string(sablix::TeamSettingsPresenter::kInviteLinkPrefix).size());

    click("deleteTeamButton");
    click("deleteAlertConfirm");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet.showing(); }, 3000));
    EXPECT_TRUE(logged("DELETE", "/api/teams/" + kSupport.toString()));
    // Back on the personal library; the other team stays.
    EXPECT_TRUE(teams.isPersonalMode());
    EXPECT_FALSE(teams.currentTeam().has_value());
    EXPECT_EQ(teams.teams().size(), 1);
}
