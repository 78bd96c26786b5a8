#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QSignalSpy>
#include <QTest>

#include "Models/Auth/AuthManager.h"
#include "support/NoTeams.h"
#include "Models/Referrals/ReferralManager.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeCredentialStore.h"
#include "support/FakeWorkspace.h"
#include "support/LogCapture.h"

using nlohmann::json;
using sablix::AppEnvironment;
using sablix::AuthManager;
using sablix::ReferralInfo;
using sablix::ReferralManager;
using ApplyState = ReferralManager::ApplyState;

namespace {

constexpr const char* kMeRoute = "/api/referrals/me";
constexpr const char* kApplyRoute = "/api/referrals/apply";
const std::string kRowanId = "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D";

json rowanInfo() {
    return {{"code", "ROWAN7"},
            {"shareUrl", "https://sablix.example/r/ROWAN7?src=app"},
            {"stats", {{"total", 4}, {"pending", 1}, {"qualified", 3}, {"monthsEarned", 3}}},
            {"someFutureKey", {1, 2}}};
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
        const json user{{"id", kRowanId},
                        {"email", "rowan@example.com"},
                        {"displayName", "Rowan"},
                        {"authProvider", "google"},
                        {"createdAt", "2025-03-01T10:00:00Z"}};
        store_.items() = {{AuthManager::kAccessTokenAccount, "access-rowan"},
                          {AuthManager::kRefreshTokenAccount, "refresh-rowan"},
                          {AuthManager::kTokenExpiryAccount, "4070908800.0"},
                          {AuthManager::kUserIdAccount, kRowanId},
                          {AuthManager::kUserDataAccount, user.dump()}};
        auth_ = std::make_unique<AuthManager>(store_, client_, workspace_, analytics_, teams_, clock_, nullptr,
                                              std::chrono::milliseconds(1500));
        ASSERT_TRUE(auth_->isAuthenticated());
        manager_ = std::make_unique<ReferralManager>(*auth_, client_, analytics_, std::chrono::milliseconds(500));
    }

    void fetch() { QCoro::waitFor(manager_->fetchReferralInfo()); }
    bool apply(const std::string& code) { return QCoro::waitFor(manager_->applyCode(code)); }
    // A sign-out tells the backend in the background; whatever is still under way ends here, as
    // it does at quit, before the managers go.
    void TearDown() override { client_.cancelAll(); }

    std::vector<testservers::LoggedRequest> requestsTo(const std::string& path) const {
        std::vector<testservers::LoggedRequest> found;
        for (const auto& request : backend_.log())
            if (request.path == path) found.push_back(request);
        return found;
    }

    testsupport::LogCapture logs_;
    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    sablix::APIClient client_{environment_};
    testsupport::FakeCredentialStore store_;
    testsupport::FakeWorkspace workspace_;
    testsupport::FakeAnalyticsTracking analytics_;
    testsupport::NoTeams teams_;
    platform::FakeClock clock_{platform::Date::fromUnix(1767225600.0)};
    std::unique_ptr<AuthManager> auth_;
    std::unique_ptr<ReferralManager> manager_;
};

}  // namespace

TEST_F(ReferralManagerTest, ApplyingACodeSendsItNormalisedAndEndsInTheBackendsOutcome) {
    // Blank input never reaches the backend.
    EXPECT_FALSE(apply(" \t\n "));
    EXPECT_EQ(manager_->applyState(), ApplyState::failed("Enter a referral code first."));
    EXPECT_TRUE(backend_.log().empty());

    // The backend's own text is shown exactly; without one, or on any other failure, a fixed one.
    const std::string fixed = "Could not apply code. Please try again.";
    const std::vector<std::pair<std::function<void()>, std::string>> failures{
        {[&] {
             backend_.fail(kApplyRoute, 400, json{{"error", "Code already used — try another"}}.dump());
         },
         "Code already used — try another"},
        {[&] { backend_.fail(kApplyRoute, 400, "<html>Bad request</html>"); }, fixed},
        {[&] {
             backend_.fail(kApplyRoute, 400, json{{"error", 17}}.dump());
         },
         fixed},
        {[&] { backend_.fail(kApplyRoute, 400, json::array({"error"}).dump()); }, fixed},
        {[&] { backend_.fail(kApplyRoute, 503, ""); }, fixed},
        {[&] { backend_.delay(kApplyRoute, 2000); }, fixed},
    };
    for (const auto& [prepare, message] : failures) {
        prepare();
        EXPECT_FALSE(apply("ab"));
        EXPECT_EQ(manager_->applyState(), ApplyState::failed(message)) << message;
        backend_.delay(kApplyRoute, 0);
    }
    EXPECT_TRUE(logs_.has("ReferralManager", "Apply code error: The request timed out."));
    EXPECT_TRUE(requestsTo(kMeRoute).empty()) << "a refused code reloads nothing";
    EXPECT_TRUE(analytics_.names().empty());

    // An accepted code: "applied" shows while the counters are reloaded, and the call answers
    // only after that reload.
    backend_.reset(backendFixture());
    backend_.delay(kMeRoute, 400);
    QSignalSpy states(manager_.get(), &ReferralManager::applyStateChanged);
    auto task = manager_->applyCode(" ab\n");
    EXPECT_EQ(manager_->applyState(), ApplyState::applying());
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager_->isLoading(); }, 3000));
    EXPECT_EQ(manager_->applyState(), ApplyState::applied());
    EXPECT_EQ(analytics_.names(), std::vector<std::string>{"referral_code_applied"});
    EXPECT_FALSE(task.isReady());
    EXPECT_TRUE(QCoro::waitFor(std::move(task)));
    EXPECT_FALSE(manager_->isLoading());
    EXPECT_EQ(manager_->info(), ReferralInfo::fromJson(rowanInfo()));
    EXPECT_EQ(states.count(), 2);

    const auto sent = requestsTo(kApplyRoute);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(json::parse(sent[0].body), (json{{"code", "AB"}}));
    EXPECT_EQ(sent[0].header("Authorization"), "Bearer access-rowan");
    EXPECT_EQ(sent[0].header("Content-Type"), "application/json");

    // Upper case beyond ASCII, and the state goes through "applying" again after "applied".
    EXPECT_TRUE(apply("\u00a0café\t"));
    EXPECT_EQ(json::parse(requestsTo(kApplyRoute).back().body), (json{{"code", "CAFÉ"}}));
    EXPECT_EQ(states.count(), 4);

    // Signed out, there is no token to send: the attempt fails without a request.
    auth_->signOut();
    backend_.reset(backendFixture());
    EXPECT_FALSE(apply("AB"));
    EXPECT_EQ(manager_->applyState(), ApplyState::failed(fixed));
    EXPECT_TRUE(requestsTo(kApplyRoute).empty());
}

TEST_F(ReferralManagerTest, AFailedLoadSaysSoAndKeepsTheInformationShown) {
    fetch();
    const ReferralInfo loaded = ReferralInfo::fromJson(rowanInfo());
    ASSERT_EQ(manager_->info(), loaded);
    EXPECT_EQ(manager_->info()->availableDiscountCode, std::nullopt);
    EXPECT_EQ(manager_->info()->stats.qualified, 3);
    EXPECT_EQ(manager_->errorMessage(), std::nullopt);
    ASSERT_EQ(requestsTo(kMeRoute).size(), 1u);
    EXPECT_EQ(requestsTo(kMeRoute)[0].method, "GET");
    EXPECT_EQ(requestsTo(kMeRoute)[0].header("Authorization"), "Bearer access-rowan");

    json withoutStats = rowanInfo();
    withoutStats.erase("stats");
    json countAsText = rowanInfo();
    countAsText["stats"]["pending"] = "1";
    json fraction = rowanInfo();
    fraction["stats"]["total"] = 4.5;
    json numericCode = rowanInfo();
    numericCode["code"] = 7;
    json discountAsNumber = rowanInfo();
    discountAsNumber["availableDiscountCode"] = 50;
    const std::vector<std::pair<int, std::string>> badAnswers{
        {200, withoutStats.dump()},
        {200, countAsText.dump()},
        {200, fraction.dump()},
        {200, numericCode.dump()},
        {200, discountAsNumber.dump()},
        {200, "[]"},
        {200, "not json"},
        {500, json{{"error", "boom"}}.dump()},
        {401, ""},
    };
    for (const auto& [status, body] : badAnswers) {
        backend_.fail(kMeRoute, status, body);
        fetch();
        EXPECT_EQ(manager_->errorMessage(), "Could not load referral info.") << body;
        EXPECT_EQ(manager_->info(), loaded) << body;
        EXPECT_FALSE(manager_->isLoading());
    }
    EXPECT_TRUE(logs_.has("ReferralManager", "Failed to fetch referral info: 500"));
    backend_.delay(kMeRoute, 2000);
    fetch();
    EXPECT_TRUE(logs_.has("ReferralManager", "Referral info error: The request timed out."));
    EXPECT_EQ(manager_->info(), loaded);
    backend_.delay(kMeRoute, 0);

    // The next good answer clears the error; a reward code and a null one both decode.
    json withDiscount = rowanInfo();
    withDiscount["availableDiscountCode"] = "PRO-50";
    backend_.fail(kMeRoute, 200, withDiscount.dump());
    fetch();
    EXPECT_EQ(manager_->errorMessage(), std::nullopt);
    EXPECT_EQ(manager_->info()->availableDiscountCode, "PRO-50");
    withDiscount["availableDiscountCode"] = nullptr;
    backend_.fail(kMeRoute, 200, withDiscount.dump());
    fetch();
    EXPECT_EQ(manager_->info(), loaded);

    // Signed out, a load changes nothing at all.
    auth_->signOut();
    backend_.reset(backendFixture());
    QSignalSpy loading(manager_.get(), &ReferralManager::isLoadingChanged);
    fetch();
    EXPECT_EQ(loading.count(), 0);
    EXPECT_EQ(manager_->info(), loaded);
    EXPECT_TRUE(requestsTo(kMeRoute).empty());
}
