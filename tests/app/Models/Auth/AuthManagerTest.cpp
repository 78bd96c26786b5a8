#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <QCoro/QCoroTask>
#include <QSignalSpy>
#include <QTest>

#include "Models/Auth/AuthError.h"
#include "Models/Auth/AuthManager.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"

using nlohmann::json;
using sablix::AppEnvironment;
using sablix::AuthError;
using sablix::AuthManager;
using sablix::User;
using Items = std::map<std::string, std::string>;

namespace {

constexpr double kNow = 1767225600.0;  // 2026-01-01T00:00:00Z
const std::string kRowanId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";
const std::string kIlseId = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";

json userJson(const std::string& id, const std::string& name) {
    return {{"id", id},
            {"email", name + "@example.com"},
            {"displayName", name},
            {"authProvider", "google"},
            {"createdAt", "2025-03-01T10:00:00Z"}};
}

// Two accounts the backend knows by their access tokens, and one refresh token of Rowan's.
json backendFixture() {
    return {{"auth",
             {{"accounts",
               {{"access-rowan", userJson(kRowanId, "rowan")},
                {"access-rowan-2", userJson(kRowanId, "rowan")},
                {"access-ilse", userJson(kIlseId, "ilse")}}},
              {"refreshTokens",
               {{"refresh-rowan",
                 {{"accessToken", "access-rowan-2"},
                  {"refreshToken", "refresh-rowan-2"},
                  {"expiresAt", "2026-01-01T02:00:00Z"},
                  {"userId", kRowanId}}}}},
              {"callback",
               {{"code", "access-rowan"},
                {"refresh_token", "refresh-rowan"},
                {"expires_at", "2026-01-01T01:00:00Z"},
                {"user_id", kRowanId}}}}}};
}

std::string callbackQuery(const std::string& access, const std::string& refresh, const std::string& userId,
                          const std::string& expiresAt = "2026-01-01T01:00:00Z") {
    return "code=" + access + "&refresh_token=" + refresh + "&expires_at=" + expiresAt + "&user_id=" + userId;
}

// The five items of an account as a successful sign-in leaves them.
Items storedAccount(const std::string& access, const std::string& refresh, const std::string& expiry,
                    const std::string& id, const std::string& name) {
    return {{AuthManager::kAccessTokenAccount, access},
            {AuthManager::kRefreshTokenAccount, refresh},
            {AuthManager::kTokenExpiryAccount, expiry},
            {AuthManager::kUserIdAccount, id},
            {AuthManager::kUserDataAccount, userJson(id, name).dump()}};
}

// What a token request came to. QCoro::waitFor never returns from a task that throws, so the
// failure is caught inside a coroutine of its own.
struct TokenResult {
    std::string token;
    std::string failure;
    std::optional<AuthError::Kind> kind;
};

QCoro::Task<TokenResult> settle(QCoro::Task<std::string> task) {
    TokenResult result;
    try {
        result.token = co_await std::move(task);
    } catch (const AuthError& error) {
        result.failure = error.what();
        result.kind = error.kind();
    } catch (const std::exception& error) {
        result.failure = error.what();
    }
    co_return result;
}

class RecordingTeams final : public sablix::TeamManaging {
public:
    QCoro::Task<bool> acceptInvitation(std::string token) override {
        events.push_back("accept " + token);
        co_return true;
    }
    QCoro::Task<> fetchTeams() override {
        events.push_back("fetch teams");
        co_return;
    }
    std::vector<std::string> events;
};

// The manager against a fresh test backend, with the store, the desktop, analytics and the team
// manager as recording stand-ins and a clock that stands at kNow.
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
    void callback(AuthManager& manager, const std::string& url) {
        QCoro::waitFor(manager.handleOAuthCallback(QUrl(QString::fromStdString(url))));
    }
    void callbackWith(AuthManager& manager, const std::string& query) {
        callback(manager, "sablix://auth/callback?" + query);
    }
    std::vector<std::string> requests() const {
        std::vector<std::string> out;
        for (const auto& entry : backend_.log()) out.push_back(entry.method + " " + entry.path);
        return out;
    }
    TokenResult requestToken(AuthManager& manager) { return QCoro::waitFor(settle(manager.getValidAccessToken())); }
    std::string token(AuthManager& manager) {
        const auto result = requestToken(manager);
        EXPECT_EQ(result.failure, "");
        return result.token;
    }
    std::string tokenFailure(AuthManager& manager) { return requestToken(manager).failure; }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    sablix::APIClient client_{environment_};
    testsupport::FakeCredentialStore store_;
    testsupport::FakeWorkspace workspace_;
    testsupport::FakeAnalyticsTracking analytics_;
    RecordingTeams teams_;
    platform::FakeClock clock_{platform::Date::fromUnix(kNow)};
    int broughtToFront_ = 0;
    int sessionsEnded_ = 0;
};

TEST_F(AuthManagerTest, SignsInThroughTheBrowserStaysSignedInAcrossLaunchesAndSignsOut) {
    auto manager = makeManager();
    EXPECT_FALSE(manager->isAuthenticated());
    manager->setPendingInvitationToken("invite-7");

    manager->signInWithGoogle();
    const std::string signInPage =
        backend_.baseURL() + "/api/auth/signin?provider=google&redirect_uri=sablix://auth/callback";
    EXPECT_EQ(workspace_.openedURLs(), std::vector<std::string>{signInPage});
    EXPECT_FALSE(manager->isLoading());

    // The browser follows the page back to the application's link.
    httplib::Client browser("127.0.0.1", backend_.port());
    const auto page = browser.Get(signInPage.substr(backend_.baseURL().size()));
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 302);
    const std::string link = page->get_header_value("Location");
    ASSERT_TRUE(link.starts_with("sablix://auth/callback?")) << link;

    QSignalSpy authenticated(manager.get(), &AuthManager::isAuthenticatedChanged);
    callback(*manager, link);

    EXPECT_TRUE(manager->isAuthenticated());
    EXPECT_EQ(authenticated.count(), 1);
    EXPECT_EQ(manager->currentUser(), User::fromJson(userJson(kRowanId, "rowan")));
    EXPECT_EQ(manager->property("currentUser").toMap().value("displayName").toString(), "rowan");
    EXPECT_EQ(manager->errorMessage(), std::nullopt);
    EXPECT_FALSE(manager->isLoading());
    EXPECT_EQ(store_.items(), storedAccount("access-rowan", "refresh-rowan", "1767229200.0", kRowanId, "rowan"));
    ASSERT_EQ(backend_.log().size(), 2u);
    EXPECT_EQ(requests()[1], "GET /api/auth/me");
    EXPECT_EQ(backend_.log()[1].header("Authorization"), "Bearer access-rowan");
    ASSERT_EQ(analytics_.events().size(), 1u);
    EXPECT_EQ(analytics_.events()[0], std::make_pair(std::string("user_sign_in"), json{{"provider", "google"}}));
    // The invitation kept before sign-in is accepted once, and the teams reloaded.
    EXPECT_EQ(manager->pendingInvitationToken(), std::nullopt);
    EXPECT_EQ(teams_.events, (std::vector<std::string>{"accept invite-7", "fetch teams"}));
    EXPECT_EQ(broughtToFront_, 1);

    // A later launch finds the account without asking the backend.
    manager.reset();
    backend_.reset(backendFixture());
    auto relaunched = makeManager();
    EXPECT_TRUE(relaunched->isAuthenticated());
    EXPECT_EQ(relaunched->currentUser(), User::fromJson(userJson(kRowanId, "rowan")));
    EXPECT_EQ(token(*relaunched), "access-rowan");
    EXPECT_TRUE(backend_.log().empty());

    relaunched->signOut();
    EXPECT_FALSE(relaunched->isAuthenticated());
    EXPECT_EQ(relaunched->currentUser(), std::nullopt);
    EXPECT_TRUE(store_.items().empty());
    EXPECT_EQ(sessionsEnded_, 1);
    EXPECT_EQ(analytics_.names(), (std::vector<std::string>{"user_sign_in", "user_sign_out"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return backend_.log().size() == 1; }, 5000));
    EXPECT_EQ(requests(), std::vector<std::string>{"POST /api/auth/signout"});
    EXPECT_EQ(backend_.log()[0].header("Authorization"), "Bearer access-rowan");

    // Signed out already: nothing to tell the backend.
    relaunched->signOut();
    QTest::qWait(100);
    EXPECT_EQ(backend_.log().size(), 1u);
}

TEST_F(AuthManagerTest, ABadCallbackOrProfileStoresNothingAndSaysWhy) {
    auto manager = makeManager();
    const std::string invalid = AuthManager::kInvalidResponseMessage;
    const std::vector<std::pair<std::string, std::string>> badLinks{
        {"sablix://auth/callback", AuthManager::kInvalidCallbackMessage},
        {"sablix://auth/callback?code=access-rowan&refresh_token=r&expires_at=2026-01-01T01:00:00Z", invalid},
        {"sablix://auth/callback?" + callbackQuery("access-rowan", "r", "not-a-uuid"), invalid},
        {"sablix://auth/callback?user_id=nope&" + callbackQuery("access-rowan", "r", kRowanId), invalid},
        {"sablix://auth/callback?code&refresh_token=r&expires_at=2026-01-01T01:00:00Z&user_id=" + kRowanId, invalid},
        {"sablix://auth/callback?code=" + std::string(5000, 'x') + "&refresh_token=r&expires_at=x&user_id=" + kRowanId,
         invalid},
        {"sablix://auth/callback?code=%FF%FE&refresh_token=r&expires_at=x&user_id=" + kRowanId, invalid},
    };
    for (const auto& [link, message] : badLinks) {
        callback(*manager, link);
        EXPECT_EQ(manager->errorMessage(), message) << link.substr(0, 120);
    }
    EXPECT_TRUE(backend_.log().empty());

    const std::string good = callbackQuery("access-rowan", "refresh-rowan", kRowanId);
    const std::vector<std::pair<std::function<void()>, std::string>> badProfiles{
        {[&] { backend_.fail("/api/auth/me", 500, ""); }, "Server error (500)"},
        {[&] { backend_.fail("/api/auth/me", 200, "<html>"); },
         "The account data could not be read: the profile answer is not JSON"},
        {[&] {
             backend_.fail("/api/auth/me", 200, json{{"id", kRowanId}}.dump());
         },
         "The account data could not be read: \"email\" is missing"},
        {[&] { backend_.delay("/api/auth/me", 5000); }, sablix::APIClient::kTimedOutMessage},
    };
    for (const auto& [breakBackend, reason] : badProfiles) {
        backend_.reset(backendFixture());
        breakBackend();
        callbackWith(*manager, good);
        EXPECT_EQ(manager->errorMessage(), AuthManager::kSignInFailedPrefix + reason);
    }
    backend_.stop();
    callbackWith(*manager, good);
    ASSERT_TRUE(manager->errorMessage());
    EXPECT_TRUE(manager->errorMessage()->starts_with(AuthManager::kSignInFailedPrefix));

    EXPECT_TRUE(store_.items().empty());
    EXPECT_FALSE(manager->isAuthenticated());
    EXPECT_FALSE(manager->isLoading());
    EXPECT_TRUE(analytics_.events().empty());
    EXPECT_EQ(broughtToFront_, 0);
}

TEST_F(AuthManagerTest, AnExpiryThatCannotBeReadBecomesFifteenMinutes) {
    auto manager = makeManager();
    callbackWith(*manager, callbackQuery("access-rowan", "refresh-rowan", kRowanId, "2026-01-01T01:00:00.250Z"));
    EXPECT_TRUE(manager->isAuthenticated());
    EXPECT_EQ(store_.items().at(AuthManager::kTokenExpiryAccount), "1767226500.0");
}

TEST_F(AuthManagerTest, ACallbackForAnotherAccountNeverLeavesAMixtureOfTheTwo) {
    auto manager = makeManager();
    callbackWith(*manager, callbackQuery("access-rowan", "refresh-rowan", kRowanId));
    const Items rowan = storedAccount("access-rowan", "refresh-rowan", "1767229200.0", kRowanId, "rowan");
    ASSERT_EQ(store_.items(), rowan);

    // Ilse's profile does not come: Rowan stays, whole.
    backend_.fail("/api/auth/me", 503, "");
    callbackWith(*manager, callbackQuery("access-ilse", "refresh-ilse", kIlseId));
    EXPECT_EQ(store_.items(), rowan);
    EXPECT_EQ(manager->currentUser()->id.toString(), kRowanId);
    EXPECT_EQ(token(*manager), "access-rowan");

    // The store gives out part-way through Ilse's items: neither account is left.
    store_.failSaves(AuthManager::kTokenExpiryAccount, -28);
    callbackWith(*manager, callbackQuery("access-ilse", "refresh-ilse", kIlseId));
    EXPECT_TRUE(store_.items().empty());
    EXPECT_FALSE(manager->isAuthenticated());
    EXPECT_EQ(sessionsEnded_, 1);
    EXPECT_EQ(manager->errorMessage(), "Sign-in failed: Keychain save failed: -28");

    store_.failSaves("", 0);
    callbackWith(*manager, callbackQuery("access-rowan", "refresh-rowan", kRowanId));
    callbackWith(*manager, callbackQuery("access-ilse", "refresh-ilse", kIlseId, "2026-01-01T00:30:00Z"));
    EXPECT_EQ(store_.items(), storedAccount("access-ilse", "refresh-ilse", "1767227400.0", kIlseId, "ilse"));
    EXPECT_EQ(manager->currentUser()->id.toString(), kIlseId);
    EXPECT_EQ(analytics_.names(), (std::vector<std::string>{"user_sign_in", "user_sign_in", "user_sign_in"}));
}

TEST_F(AuthManagerTest, ATokenIsRefreshedInItsLastMinuteByEachCallerOnItsOwn) {
    auto manager = makeManager();
    store_.items() = storedAccount("access-rowan", "refresh-rowan", "1767225661.0", kRowanId, "rowan");
    EXPECT_EQ(token(*manager), "access-rowan") << "61 s left";
    EXPECT_TRUE(backend_.log().empty());

    clock_.advance(2);  // 59 s left
    backend_.delay("/api/auth/refresh", 200);
    auto first = settle(manager->getValidAccessToken());
    auto second = settle(manager->getValidAccessToken());
    EXPECT_EQ(QCoro::waitFor(first).token, "access-rowan-2");
    EXPECT_EQ(QCoro::waitFor(second).token, "access-rowan-2");
    ASSERT_EQ(requests(), (std::vector<std::string>{"POST /api/auth/refresh", "POST /api/auth/refresh"}));
    for (const auto& request : backend_.log()) {
        EXPECT_EQ(json::parse(request.body), (json{{"refresh_token", "refresh-rowan"}}));
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header("Authorization"), "");
    }
    EXPECT_EQ(store_.items(), storedAccount("access-rowan-2", "refresh-rowan-2", "1767232800.0", kRowanId, "rowan"));

    // Without an expiry the token is taken as it is; without a token there is no session.
    store_.items().erase(AuthManager::kTokenExpiryAccount);
    clock_.advance(86400);
    EXPECT_EQ(token(*manager), "access-rowan-2");
    store_.items().clear();
    EXPECT_EQ(tokenFailure(*manager), "Not signed in");
    EXPECT_EQ(backend_.log().size(), 2u);
}

TEST_F(AuthManagerTest, ARefusedRefreshEndsTheSessionAndTeamsWhileAnOutageKeepsIt) {
    store_.items() = storedAccount("access-rowan", "refresh-rowan", "1767225000.0", kRowanId, "rowan");
    auto manager = makeManager();
    ASSERT_TRUE(manager->isAuthenticated()) << "an expired token with a refresh token is restored";

    backend_.fail("/api/auth/refresh", 503, "");
    EXPECT_EQ(tokenFailure(*manager), "Server error (503)");
    EXPECT_TRUE(manager->isAuthenticated());
    EXPECT_EQ(store_.items().size(), 5u);

    backend_.fail("/api/auth/refresh", 401, "");
    EXPECT_EQ(requestToken(*manager).kind, AuthError::Kind::sessionExpired);
    EXPECT_FALSE(manager->isAuthenticated());
    EXPECT_EQ(manager->currentUser(), std::nullopt);
    EXPECT_EQ(manager->errorMessage(), "Session expired. Please sign in again.");
    EXPECT_TRUE(store_.items().empty());
    EXPECT_EQ(sessionsEnded_, 1) << "the team state must go with the session";
    EXPECT_TRUE(analytics_.events().empty()) << "an expiry is no sign-out";

    // A sign-out while a refresh is out: the refreshed tokens must not bring the session back.
    store_.items() = storedAccount("access-rowan", "refresh-rowan", "1767225000.0", kRowanId, "rowan");
    backend_.delay("/api/auth/refresh", 300);
    auto pending = settle(manager->getValidAccessToken());
    manager->signOut();
    EXPECT_EQ(QCoro::waitFor(pending).kind, AuthError::Kind::notAuthenticated);
    EXPECT_TRUE(store_.items().empty());
}

TEST_F(AuthManagerTest, StartUpRestoresOnlyASessionThatCanGoOn) {
    testsupport::LogCapture log;
    Items account = storedAccount("access-rowan", "refresh-rowan", "1767225000.0", kRowanId, "rowan");

    account.erase(AuthManager::kRefreshTokenAccount);
    store_.items() = account;
    EXPECT_FALSE(makeManager()->isAuthenticated());
    EXPECT_TRUE(store_.items().empty()) << "expired without a refresh token";
    EXPECT_TRUE(log.has("AuthManager", "Cached auth expired with no refresh token — clearing"));

    account = storedAccount("access-rowan", "refresh-rowan", " 1767229200.0", kRowanId, "rowan");
    store_.items() = account;
    EXPECT_FALSE(makeManager()->isAuthenticated());
    EXPECT_TRUE(store_.items().empty()) << "an expiry that is not a number";
    EXPECT_TRUE(log.has("AuthManager", "No token expiry found — clearing stale auth"));

    account = storedAccount("access-rowan", "refresh-rowan", "1767229200.0", kRowanId, "rowan");
    account[AuthManager::kUserDataAccount] = json{{"id", kRowanId}}.dump();
    store_.items() = account;
    EXPECT_FALSE(makeManager()->isAuthenticated());
    EXPECT_EQ(store_.items(), account) << "a record that does not decode is left alone";
}

}  // namespace
