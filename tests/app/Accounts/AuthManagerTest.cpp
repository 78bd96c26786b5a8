#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTest>

#include "Accounts/AuthManager.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"
#include "support/NoTeams.h"

using nlohmann::json;

namespace sablix {
namespace {

constexpr double kNow = 1767225600.0;  // 2026-01-01T00:00:00Z
constexpr const char* kIgnoredLine = "OAuth callback ignored: no sign-in started from Sablix is waiting for one";
const std::string kRowanId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
const std::string kIlseId = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";

std::string idOf(const std::string& name) { return name == "rowan" ? kRowanId : kIlseId; }

json userJson(const std::string& name) {
    return {{"id", idOf(name)},
            {"email", name + "@example.com"},
            {"displayName", name},
            {"authProvider", "google"},
            {"createdAt", "2025-03-01T10:00:00Z"}};
}

// Two accounts the backend knows by their access tokens, and one refresh token of Rowan's.
json backendFixture() {
    return {{"auth",
             {{"accounts", {{"access-rowan", userJson("rowan")}, {"access-ilse", userJson("ilse")}}},
              {"refreshTokens",
               {{"refresh-rowan",
                 {{"accessToken", "access-rowan-2"},
                  {"refreshToken", "refresh-rowan-2"},
                  {"expiresAt", "2026-01-01T02:00:00Z"},
                  {"userId", kRowanId}}}}}}}};
}

// A sign-in as name, whose tokens are "access-<name>" and "refresh-<name>".
std::string callbackQuery(const std::string& name, const std::string& expiresAt = "2026-01-01T01:00:00Z") {
    return "?code=access-" + name + "&refresh_token=refresh-" + name + "&expires_at=" + expiresAt +
           "&user_id=" + idOf(name);
}

// The five items of an account as a sign-in or a refresh leaves them.
std::map<std::string, std::string> storedAccount(const std::string& name, const std::string& expiry,
                                                 const std::string& generation = "") {
    return {{AuthManager::kAccessTokenAccount, "access-" + name + generation},
            {AuthManager::kRefreshTokenAccount, "refresh-" + name + generation},
            {AuthManager::kTokenExpiryAccount, expiry},
            {AuthManager::kUserIdAccount, idOf(name)},
            {AuthManager::kUserDataAccount, userJson(name).dump()}};
}
const auto kRowan = storedAccount("rowan", "1767229200.0");
const auto kRowanExpired = storedAccount("rowan", "1767225000.0");

// The token, or "failed: " and why. QCoro::waitFor never returns from a task that throws, so the
// failure is caught inside a coroutine of its own.
QCoro::Task<std::string> settle(QCoro::Task<std::string> task) {
    try {
        co_return co_await std::move(task);
    } catch (const std::exception& error) {
        co_return std::string("failed: ") + error.what();
    }
}

// The manager against a fresh test backend, with recording stand-ins and a clock at kNow.
class AuthManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        backend_.reset(backendFixture());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
    }

    std::unique_ptr<AuthManager> makeManager() {
        auto manager = std::make_unique<AuthManager>(
            store_, client_, workspace_, analytics_, teams_, clock_, [this] { ++broughtToFront_; },
            std::chrono::milliseconds(1500));
        QObject::connect(manager.get(), &AuthManager::sessionEnded, [this] { ++sessionsEnded_; });
        return manager;
    }
    // The browser's answer to a sign-in started just before.
    void callback(AuthManager& manager, const std::string& query) {
        manager.signInWithGoogle();
        answer(manager, query);
    }
    void answer(AuthManager& manager, const std::string& query) {
        const QUrl url(QString::fromStdString("sablix://auth/callback" + query));
        QCoro::waitFor(manager.handleOAuthCallback(url));
    }
    // A sign-out tells the backend in the background; what is still under way ends here.
    void TearDown() override { client_.cancelAll(); }
    std::string token(AuthManager& manager) { return QCoro::waitFor(settle(manager.getValidAccessToken())); }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
    testsupport::FakeCredentialStore store_;
    testsupport::FakeWorkspace workspace_;
    testsupport::FakeAnalyticsTracking analytics_;
    testsupport::NoTeams teams_;
    platform::FakeClock clock_{platform::Date::fromUnix(kNow)};
    int broughtToFront_ = 0;
    int sessionsEnded_ = 0;
};

TEST_F(AuthManagerTest, SignsInThroughTheBrowserAndSignsOutOnTheBackendToo) {
    auto manager = makeManager();
    manager->signInWithGoogle();
    EXPECT_EQ(workspace_.openedURLs(),
              std::vector<std::string>{backend_.baseURL() +
                                       "/api/auth/signin?provider=google&redirect_uri=sablix://auth/callback"});

    // An expiry with a fraction of a second cannot be read: the token gets fifteen minutes.
    answer(*manager, callbackQuery("rowan", "2026-01-01T01:00:00.250Z"));
    EXPECT_EQ(store_.items(), storedAccount("rowan", "1767226500.0"));
    EXPECT_EQ(broughtToFront_, 1);

    manager->signOut();
    EXPECT_TRUE(store_.items().empty());
    EXPECT_EQ(sessionsEnded_, 1);
    EXPECT_EQ(analytics_.events(), (std::vector<std::pair<std::string, json>>{
                                       {"user_sign_in", {{"provider", "google"}}}, {"user_sign_out", json::object()}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return backend_.log().size() == 2; }, 5000));
    EXPECT_EQ(backend_.log()[1].path, "/api/auth/signout");
    EXPECT_EQ(backend_.log()[1].header("Authorization"), "Bearer access-rowan");
}

TEST_F(AuthManagerTest, ABadCallbackOrProfileStoresNothingAndSaysWhy) {
    auto manager = makeManager();
    callback(*manager, "");
    EXPECT_EQ(manager->errorMessage(), AuthManager::kInvalidCallbackMessage);
    const std::string valid = "refresh_token=r&expires_at=x&user_id=" + kRowanId;
    for (const std::string& query : {
             std::string("?code=access-rowan&refresh_token=r&expires_at=2026-01-01T01:00:00Z"),
             std::string("?code=access-rowan&refresh_token=r&expires_at=x&user_id=not-a-uuid"),
             "?user_id=nope&" + callbackQuery("rowan").substr(1),  // the first one counts
             "?code&" + valid,
             "?code=" + std::string(5000, 'x') + "&" + valid,
             "?code=%FF%FE&" + valid,
             // Anything but a token's characters could add a header to the profile request.
             "?code=tok%0D%0AX-Injected:%20yes&" + valid,
             "?code=tok%00en&" + valid,
             "?code=a%20b&" + valid,
             "?code=caf%C3%A9&" + valid,
             "?code=access-rowan&refresh_token=r%7F&expires_at=x&user_id=" + kRowanId,
             "?code=access-rowan&refresh_token=r&expires_at=2026%C2%85&user_id=" + kRowanId,
         }) {
        callback(*manager, query);
        EXPECT_EQ(manager->errorMessage(), AuthManager::kInvalidResponseMessage) << query.substr(0, 120);
    }
    EXPECT_TRUE(backend_.log().empty());

    // Status 0: the profile comes too late.
    const std::vector<std::tuple<int, std::string, std::string>> badProfiles{
        {500, "", "Server error (500)"},
        {200, "<html>", "The account data could not be read: the profile answer is not JSON"},
        {200, json{{"id", kRowanId}}.dump(), "The account data could not be read: \"email\" is missing"},
        {0, "", APIClient::kTimedOutMessage},
    };
    for (const auto& [status, body, reason] : badProfiles) {
        status ? backend_.fail("/api/auth/me", status, body) : backend_.delay("/api/auth/me", 5000);
        callback(*manager, callbackQuery("rowan"));
        EXPECT_EQ(manager->errorMessage(), AuthManager::kSignInFailedPrefix + reason);
    }
    EXPECT_TRUE(store_.items().empty());
    EXPECT_FALSE(manager->isAuthenticated() || manager->isLoading() || broughtToFront_);
    EXPECT_TRUE(analytics_.events().empty());
}

TEST_F(AuthManagerTest, ACallbackForAnotherAccountNeverLeavesAMixtureOfTheTwo) {
    auto manager = makeManager();
    callback(*manager, callbackQuery("rowan"));
    ASSERT_EQ(store_.items(), kRowan);

    // Ilse's profile does not come: Rowan stays, whole.
    backend_.fail("/api/auth/me", 503, "");
    callback(*manager, callbackQuery("ilse"));
    EXPECT_EQ(store_.items(), kRowan);
    EXPECT_EQ(manager->currentUser()->id.toString(), kRowanId);
    EXPECT_EQ(token(*manager), "access-rowan");

    // The store gives out part-way through Ilse's items: neither account is left.
    store_.failSaves(AuthManager::kTokenExpiryAccount, -28);
    callback(*manager, callbackQuery("ilse"));
    EXPECT_TRUE(store_.items().empty());
    EXPECT_FALSE(manager->isAuthenticated());
    EXPECT_EQ(sessionsEnded_, 1);
    EXPECT_EQ(manager->errorMessage(), "Sign-in failed: Keychain save failed: -28");

    store_.failSaves("", 0);
    callback(*manager, callbackQuery("rowan"));
    callback(*manager, callbackQuery("ilse", "2026-01-01T00:30:00Z"));
    EXPECT_EQ(store_.items(), storedAccount("ilse", "1767227400.0"));
    EXPECT_EQ(manager->currentUser()->id.toString(), kIlseId);
}

// Any web page can open a callback link: only the answer to a sign-in started here, within
// fifteen minutes, is read, and only once.
TEST_F(AuthManagerTest, OnlyTheAnswerToASignInStartedHereSignsIn) {
    testsupport::LogCapture logs;
    auto manager = makeManager();
    const auto ignored = [&] { return logs.count(kIgnoredLine); };
    answer(*manager, callbackQuery("ilse"));
    EXPECT_EQ(ignored(), 1u);

    manager->signInWithGoogle();
    clock_.advance(15 * 60 + 1);
    answer(*manager, callbackQuery("ilse"));
    EXPECT_EQ(ignored(), 2u);
    EXPECT_FALSE(manager->isAuthenticated());
    EXPECT_EQ(manager->errorMessage(), std::nullopt);
    EXPECT_TRUE(backend_.log().empty() && store_.items().empty());

    manager->signInWithGoogle();
    clock_.advance(15 * 60);
    answer(*manager, callbackQuery("rowan"));
    EXPECT_EQ(store_.items(), storedAccount("rowan", "1767229200.0"));
    answer(*manager, callbackQuery("ilse"));
    EXPECT_EQ(ignored(), 3u) << "a finished sign-in takes no second answer";
    EXPECT_EQ(manager->currentUser()->id.toString(), kRowanId);
    EXPECT_EQ(backend_.log().size(), 1u);
}

TEST_F(AuthManagerTest, ATokenIsRefreshedInItsLastMinuteByEachCallerOnItsOwn) {
    auto manager = makeManager();
    store_.items() = storedAccount("rowan", "1767225661.0");
    EXPECT_EQ(token(*manager), "access-rowan") << "61 s left";
    EXPECT_TRUE(backend_.log().empty());

    clock_.advance(2);  // 59 s left
    backend_.delay("/api/auth/refresh", 200);
    auto first = settle(manager->getValidAccessToken());
    auto second = settle(manager->getValidAccessToken());
    EXPECT_EQ(QCoro::waitFor(first), "access-rowan-2");
    EXPECT_EQ(QCoro::waitFor(second), "access-rowan-2");
    ASSERT_EQ(backend_.log().size(), 2u);
    for (const auto& request : backend_.log()) {
        EXPECT_EQ(request.method + " " + request.path, "POST /api/auth/refresh");
        EXPECT_EQ(json::parse(request.body), (json{{"refresh_token", "refresh-rowan"}}));
        EXPECT_EQ(request.header("Authorization"), "");
    }
    EXPECT_EQ(store_.items(), storedAccount("rowan", "1767232800.0", "-2"));

    store_.items().clear();
    EXPECT_EQ(token(*manager), "failed: Not signed in");
}

TEST_F(AuthManagerTest, ARefusedRefreshEndsTheSessionAndTeamsWhileAnOutageKeepsIt) {
    store_.items() = kRowanExpired;
    auto manager = makeManager();
    ASSERT_TRUE(manager->isAuthenticated()) << "an expired token with a refresh token is restored";

    backend_.fail("/api/auth/refresh", 503, "");
    EXPECT_EQ(token(*manager), "failed: Server error (503)");
    EXPECT_TRUE(manager->isAuthenticated());
    EXPECT_EQ(store_.items(), kRowanExpired);

    backend_.fail("/api/auth/refresh", 401, "");
    EXPECT_EQ(token(*manager), "failed: Session expired. Please sign in again.");
    EXPECT_FALSE(manager->isAuthenticated());
    EXPECT_EQ(manager->currentUser(), std::nullopt);
    EXPECT_EQ(manager->errorMessage(), "Session expired. Please sign in again.");
    EXPECT_TRUE(store_.items().empty());
    EXPECT_EQ(sessionsEnded_, 1) << "the team state must go with the session";
    EXPECT_TRUE(analytics_.events().empty()) << "an expiry is no sign-out";

    // A sign-out while a refresh is out: the refreshed tokens must not bring the session back.
    store_.items() = kRowanExpired;
    backend_.delay("/api/auth/refresh", 300);
    auto pending = settle(manager->getValidAccessToken());
    manager->signOut();
    EXPECT_EQ(QCoro::waitFor(pending), "failed: Not signed in");
    EXPECT_TRUE(store_.items().empty());
}

TEST_F(AuthManagerTest, StartUpRestoresOnlyASessionThatCanGoOn) {
    // A session that cannot go on is cleared; a record that does not decode is left alone.
    const std::vector<std::tuple<std::string, std::optional<std::string>, bool>> changes{
        {AuthManager::kRefreshTokenAccount, std::nullopt, true},
        {AuthManager::kTokenExpiryAccount, " 1767229200.0", true},
        {AuthManager::kUserDataAccount, json{{"id", kRowanId}}.dump(), false}};
    for (const auto& [account, value, cleared] : changes) {
        store_.items() = kRowanExpired;
        value ? void(store_.items()[account] = *value) : void(store_.items().erase(account));
        EXPECT_FALSE(makeManager()->isAuthenticated()) << account;
        EXPECT_EQ(store_.items().empty(), cleared) << account;
    }
}

}  // namespace
}  // namespace sablix
