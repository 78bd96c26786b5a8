// The referrals section as a signed-in user sees it: the view over the real referral and account
// managers, a test backend, and the real X clipboard of an Xvfb display, read back with xclip as
// another application would.
#include <algorithm>
#include <string>

#include <QElapsedTimer>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>
#include <gtest/gtest.h>

#include "Accounts/AuthManager.h"
#include "support/NoTeams.h"
#include "Referrals/ReferralManager.h"
#include "Referrals/Views/ReferralsSettingsSectionPresenter.h"
#include "desktop/x11/X11Pasteboard.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/SablixSession.h"
#include "support/XvfbServer.h"
#include "Shared/Views/ViewModule.h"

using nlohmann::json;
using sablix::AuthManager;

namespace {

const std::string kRowanId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
const std::string kShareUrl = "https://sablix.example/r/ROWAN7?src=app&x=1";

json backendFixture() {
    return {{"referrals",
             {{"info",
               {{"access-rowan",
                 {{"code", "ROWAN7"},
                  {"shareUrl", kShareUrl},
                  {"stats", {{"total", 6}, {"pending", 2}, {"qualified", 4}, {"monthsEarned", 3}}}}}}},
              {"codes", {"AB12"}}}}};
}

QQuickItem* findVisible(QQuickItem* parent, const QString& objectName) {
    if (!parent->isVisible()) return nullptr;
    if (parent->objectName() == objectName) return parent;
    for (QQuickItem* child : parent->childItems())
        if (QQuickItem* found = findVisible(child, objectName)) return found;
    return nullptr;
}

}  // namespace

TEST(ReferralsSectionE2E, SignedInUserSeesCopiesAndAppliesCodes) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    testservers::TestBackend backend(backendFixture());
    ASSERT_TRUE(backend.start());

    platform::MemoryDefaults defaults;
    defaults.set(sablix::AppEnvironment::kBaseURLOverrideKey, backend.baseURL());
    sablix::AppEnvironment environment{sablix::AppEnvironment::Kind::development, &defaults};
    sablix::APIClient client{environment};
    testsupport::FakeCredentialStore store;
    const json user{{"id", kRowanId},
                    {"email", "rowan@example.com"},
                    {"displayName", "Rowan"},
                    {"authProvider", "google"},
                    {"createdAt", "2025-03-01T10:00:00Z"}};
    store.items() = {{AuthManager::kAccessTokenAccount, "access-rowan"},
                     {AuthManager::kRefreshTokenAccount, "refresh-rowan"},
                     {AuthManager::kTokenExpiryAccount, "4070908800.0"},
                     {AuthManager::kUserIdAccount, kRowanId},
                     {AuthManager::kUserDataAccount, user.dump()}};
    testsupport::FakeWorkspace workspace;
    testsupport::FakeAnalyticsTracking analytics;
    testsupport::NoTeams teams;
    platform::FakeClock clock{platform::Date::fromUnix(1767225600.0)};
    AuthManager auth(store, client, workspace, analytics, teams, clock, nullptr);
    ASSERT_TRUE(auth.isAuthenticated());
    sablix::ReferralManager referrals(auth, client, analytics);
    desktop::X11Pasteboard clipboard(server.display());
    sablix::ReferralsSettingsSectionPresenter presenter(referrals, clipboard);

    // The first load fails slowly: the loading row, then only the error.
    backend.delay("/api/referrals/me", 500);
    backend.fail("/api/referrals/me", 500, "");
    QQuickView view;
    view.setInitialProperties({{"presenter", QVariant::fromValue(&presenter)}});
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(520, 360);
    sablix::findViewModule(*view.engine());
    view.setSource(QUrl("qrc:/Sablix/Referrals/Views/ReferralsSettingsSection.qml"));
    ASSERT_EQ(view.status(), QQuickView::Ready) << view.errors().value(0).toString().toStdString();
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QQuickItem* root = view.rootObject();
    const auto shows = [&](const char* name) { return findVisible(root, name) != nullptr; };
    const auto item = [&](const char* name) {
        QQuickItem* found = nullptr;
        EXPECT_TRUE(QTest::qWaitFor([&] { return (found = findVisible(root, name)) != nullptr; }, 5000)) << name;
        return found;
    };
    const auto text = [&](const char* name) { return item(name)->property("text").toString().toStdString(); };
    const auto click = [&](const char* name) {
        QQuickItem* target = item(name);
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier,
                          target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    };
    const auto clipboardText = [&] { return e2e::runOn(server.display(), {"xclip", "-o", "-selection", "clipboard"}); };

    EXPECT_TRUE(shows("referralsLoading"));
    EXPECT_EQ(text("referralsError"), "Could not load referral info.");
    EXPECT_FALSE(shows("referralsLoading"));
    EXPECT_FALSE(shows("referralCodeField"));

    // Shown again, the section loads again, and this time the card fills.
    root->setVisible(false);
    root->setVisible(true);
    EXPECT_EQ(text("referralCode"), "ROWAN7");
    EXPECT_FALSE(shows("referralsError"));
    EXPECT_EQ(text("referralCounters"), "3 free months earned - 4 friends upgraded - 2 pending");

    // Copy Code, then Copy Link before the first "Copied" has gone: each label keeps its own
    // timer, and the code's timer leaves the link's label alone.
    QElapsedTimer sinceCodeClick;
    sinceCodeClick.start();
    click("copyCodeButton");
    EXPECT_EQ(clipboardText(), "ROWAN7");
    EXPECT_EQ(text("copyCodeButton"), "Copied");
    EXPECT_EQ(text("copyLinkButton"), "Copy Link");
    QTest::qWait(700);
    QElapsedTimer sinceLinkClick;
    sinceLinkClick.start();
    click("copyLinkButton");
    EXPECT_EQ(clipboardText(), kShareUrl);
    EXPECT_EQ(text("copyCodeButton"), "Copy Code");
    EXPECT_EQ(text("copyLinkButton"), "Copied");
    // Past the code's timer, and (unless the machine stalled) before the link's.
    QTest::qWait(std::max<int>(0, 1650 - static_cast<int>(sinceCodeClick.elapsed())));
    if (sinceLinkClick.elapsed() < 1400) {
        EXPECT_EQ(text("copyLinkButton"), "Copied");
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return text("copyLinkButton") == "Copy Link"; }, 2000));
    EXPECT_EQ(text("copyCodeButton"), "Copy Code");

    // Apply stays disabled for an empty or blank field.
    QQuickItem* apply = item("applyCodeButton");
    EXPECT_FALSE(apply->isEnabled());
    item("referralCodeField")->setProperty("text", " \t  ");
    EXPECT_FALSE(apply->isEnabled());
    item("referralCodeField")->setProperty("text", " zz9 ");
    EXPECT_TRUE(apply->isEnabled());
    click("applyCodeButton");
    EXPECT_TRUE(QTest::qWaitFor([&] { return text("applyCodeMessage") == "Invalid referral code"; }, 5000));
    EXPECT_EQ(text("referralCodeField"), " zz9 ") << "the field keeps what was typed";

    item("referralCodeField")->setProperty("text", "ab12 ");
    click("applyCodeButton");
    EXPECT_TRUE(QTest::qWaitFor([&] { return text("applyCodeMessage") == "Referral code applied."; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !referrals.isLoading(); }, 5000));
    EXPECT_EQ(text("applyCodeMessage"), "Referral code applied.");
    EXPECT_EQ(text("referralCode"), "ROWAN7");
}
