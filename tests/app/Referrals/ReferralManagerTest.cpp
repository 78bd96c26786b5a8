#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTest>

#include "Accounts/AuthManager.h"
#include "Referrals/ReferralManager.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/NoTeams.h"

using nlohmann::json;

namespace sablix {
namespace {

using ApplyState = ReferralManager::ApplyState;
constexpr const char* kMeRoute = "/api/referrals/me";
constexpr const char* kApplyRoute = "/api/referrals/apply";
const std::string kRowanId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";

json rowanInfo(const json& patch = json::object()) {
    json info{{"code", "ROWAN7"},
              {"shareUrl", "https://sablix.example/r/ROWAN7?src=app"},
              {"stats", {{"total", 4}, {"pending", 1}, {"qualified", 3}, {"monthsEarned", 3}}},
              {"someFutureKey", {1, 2}}};
    info.merge_patch(patch);
    return info;
}

json backendFixture() {
    return {{"referrals", {{"info", {{"access-rowan", rowanInfo()}}}, {"codes", {"AB", "CAFÉ"}}}}};
}

// The referral manager over a real account manager, signed in from a seeded credential store
// (a token good for decades, so no refresh), against a fresh test backend.
class ReferralManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        backend_.reset(backendFixture());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
        const std::string user = R"({"id": ")" + kRowanId + R"(", "email": "rowan@example.com",
            "displayName": "Rowan", "authProvider": "google", "createdAt": "2025-03-01T10:00:00Z"})";
        store_.items() = {{AuthManager::kAccessTokenAccount, "access-rowan"},
                          {AuthManager::kRefreshTokenAccount, "refresh-rowan"},
                          {AuthManager::kTokenExpiryAccount, "4070908800.0"},
                          {AuthManager::kUserIdAccount, kRowanId},
                          {AuthManager::kUserDataAccount, user}};
        auth_ = std::make_unique<AuthManager>(store_, client_, workspace_, analytics_, teams_, clock_, nullptr,
                                              std::chrono::milliseconds(1500));
        ASSERT_TRUE(auth_->isAuthenticated());
        manager_ = std::make_unique<ReferralManager>(*auth_, client_, analytics_, std::chrono::milliseconds(500));
    }
    // Whatever is still under way ends here, as it does at quit, before the managers go.
    void TearDown() override { client_.cancelAll(); }

    void fetch() { QCoro::waitFor(manager_->fetchReferralInfo()); }
    bool apply(const std::string& code) { return QCoro::waitFor(manager_->applyCode(code)); }
    // Scripts the route's next answer; status 0 makes it come too late.
    void answer(const char* route, int status, const std::string& body) {
        backend_.delay(route, status ? 0 : 2000);
        if (status) backend_.fail(route, status, body);
    }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
    testsupport::FakeCredentialStore store_;
    testsupport::FakeWorkspace workspace_;
    testsupport::FakeAnalyticsTracking analytics_;
    testsupport::NoTeams teams_;
    platform::FakeClock clock_{platform::Date::fromUnix(1767225600.0)};
    std::unique_ptr<AuthManager> auth_;
    std::unique_ptr<ReferralManager> manager_;
};

TEST_F(ReferralManagerTest, ApplyingACodeSendsItNormalisedAndEndsInTheBackendsOutcome) {
    EXPECT_FALSE(apply(" \t\n "));
    EXPECT_EQ(manager_->applyState(), ApplyState::failed("Enter a referral code first."));
    EXPECT_TRUE(backend_.log().empty());

    // The backend's own text is shown exactly; without one, or on any other failure, a fixed one.
    const std::string fixed = "Could not apply code. Please try again.";
    const std::vector<std::tuple<int, std::string, std::string>> failures{
        {400, json{{"error", "Code already used — try another"}}.dump(), "Code already used — try another"},
        {400, "<html>Bad request</html>", fixed},
        {400, json{{"error", 17}}.dump(), fixed},
        {400, R"(["error"])", fixed},
        {503, "", fixed},
        {0, "", fixed},
    };
    for (const auto& [status, body, message] : failures) {
        answer(kApplyRoute, status, body);
        EXPECT_FALSE(apply("ab"));
        EXPECT_EQ(manager_->applyState(), ApplyState::failed(message)) << status << body;
    }
    for (const auto& request : backend_.log()) EXPECT_EQ(request.path, kApplyRoute) << "a refused code reloads nothing";
    EXPECT_TRUE(analytics_.names().empty());

    // An accepted code: "applied" shows while the counters are reloaded, and the call answers
    // only after that reload.
    backend_.reset(backendFixture());
    backend_.delay(kMeRoute, 400);
    auto task = manager_->applyCode(" ab\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager_->isLoading(); }, 3000));
    EXPECT_EQ(manager_->applyState(), ApplyState::applied());
    EXPECT_FALSE(task.isReady());
    EXPECT_TRUE(QCoro::waitFor(std::move(task)));
    EXPECT_EQ(analytics_.names(), std::vector<std::string>{"referral_code_applied"});
    EXPECT_EQ(manager_->info(), ReferralInfo::fromJson(rowanInfo()));
    const auto sent = backend_.log().at(0);
    EXPECT_EQ(sent.method + " " + sent.path, "POST /api/referrals/apply");
    EXPECT_EQ(json::parse(sent.body), (json{{"code", "AB"}}));
    EXPECT_EQ(sent.header("Authorization"), "Bearer access-rowan");

    EXPECT_TRUE(apply("\u00a0café\t"));
    EXPECT_EQ(json::parse(backend_.log().at(2).body), (json{{"code", "CAFÉ"}})) << "upper case beyond ASCII";
}

TEST_F(ReferralManagerTest, AFailedLoadSaysSoAndKeepsTheInformationShown) {
    fetch();
    const ReferralInfo loaded = ReferralInfo::fromJson(rowanInfo());
    ASSERT_EQ(manager_->info(), loaded);

    const std::vector<std::pair<int, std::string>> badAnswers{
        {200, rowanInfo({{"stats", nullptr}}).dump()},
        {200, rowanInfo({{"availableDiscountCode", 50}}).dump()},
        {200, "[]"},
        {200, "not json"},
        {500, json{{"error", "boom"}}.dump()},
        {0, ""},
    };
    for (const auto& [status, body] : badAnswers) {
        answer(kMeRoute, status, body);
        fetch();
        EXPECT_EQ(manager_->errorMessage(), "Could not load referral info.") << status << body;
        EXPECT_EQ(manager_->info(), loaded) << status << body;
        EXPECT_FALSE(manager_->isLoading());
    }

    // The next good answer clears the error; a reward code and a null one both decode.
    answer(kMeRoute, 200, rowanInfo({{"availableDiscountCode", "PRO-50"}}).dump());
    fetch();
    EXPECT_EQ(manager_->errorMessage(), std::nullopt);
    EXPECT_EQ(manager_->info()->availableDiscountCode, "PRO-50");
    json withoutReward = rowanInfo();
    withoutReward["availableDiscountCode"] = nullptr;
    answer(kMeRoute, 200, withoutReward.dump());
    fetch();
    EXPECT_EQ(manager_->info(), loaded);
}

}  // namespace
}  // namespace sablix
