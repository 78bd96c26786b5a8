#include <gtest/gtest.h>
#include <QCoro/QCoroTask>

#include "Models/Networking/APIClient.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"

using sablix::APIClient;
using sablix::APIEndpoint;
using sablix::APIRequest;
using sablix::APIResponse;
using sablix::AppEnvironment;

namespace {

// A client of the development environment pointed at a fresh test backend, which the test also
// steers over HTTP, the way a test outside the process does.
class APIClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
    }

    APIResponse send(const APIEndpoint& endpoint, APIRequest request = APIRequest()) {
        return QCoro::waitFor(client_.send(endpoint, std::move(request)));
    }
    APIResponse control(const std::string& route, const nlohmann::json& body) {
        return QCoro::waitFor(
            client_.send(QUrl(QString::fromStdString(backend_.baseURL() + route)), APIRequest("POST", body)));
    }
    nlohmann::json requestLog() {
        const auto response =
            QCoro::waitFor(client_.send(QUrl(QString::fromStdString(backend_.baseURL() + "/__test/log"))));
        return response.json().value_or(nlohmann::json());
    }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
};

TEST_F(APIClientTest, SendsJsonWithTheBearerTokenAndHandsBackStatusAndBody) {
    // A route the backend does not serve.
    ASSERT_EQ(control("/__test/fail", {{"route", "/api/generate"}, {"status", 201}, {"body", R"({"id":7})"}}).status,
              200);

    const auto created = send(APIEndpoint::generate(), APIRequest("POST", nlohmann::json{{"message", "héllo"}}, "t0k"));
    EXPECT_EQ(created.status, 201);
    EXPECT_TRUE(created.isSuccess());
    EXPECT_TRUE(created.error.empty());
    ASSERT_TRUE(created.json());
    EXPECT_EQ(created.json()->at("id"), 7);

    // The scripted answer was used up; an error status is an answer too, not a transport failure.
    const auto missing = send(APIEndpoint::generate());
    EXPECT_EQ(missing.status, 404);
    EXPECT_FALSE(missing.isSuccess());
    EXPECT_TRUE(missing.error.empty());

    const auto log = requestLog();
    ASSERT_EQ(log.size(), 2u) << log.dump();
    EXPECT_EQ(log[0]["method"], "POST");
    EXPECT_EQ(log[0]["path"], "/api/generate");
    EXPECT_EQ(log[0]["headers"]["authorization"], "Bearer t0k");
    EXPECT_EQ(log[0]["headers"]["content-type"], "application/json");
    EXPECT_EQ(nlohmann::json::parse(log[0]["body"].get<std::string>()), (nlohmann::json{{"message", "héllo"}}));
    EXPECT_EQ(log[1]["method"], "GET");
    EXPECT_FALSE(log[1]["headers"].contains("authorization"));

    ASSERT_EQ(control("/__test/reset", nlohmann::json::object()).status, 200);
    EXPECT_TRUE(requestLog().empty());
}

TEST_F(APIClientTest, NoAnswerGivesStatusZeroAndTheReason) {
    ASSERT_EQ(control("/__test/delay", {{"route", "/api/auth/me"}, {"ms", 10'000}}).status, 200);
    const auto late =
        send(APIEndpoint::authMe(), APIRequest("GET", std::nullopt, std::nullopt, std::chrono::milliseconds(200)));
    EXPECT_EQ(late.status, 0);
    EXPECT_TRUE(late.timedOut);
    EXPECT_EQ(late.error, APIClient::kTimedOutMessage);
    EXPECT_TRUE(late.body.empty());

    // At quit a request still under way ends at once, and its caller's coroutine finishes.
    auto pending = client_.send(APIEndpoint::authMe());
    bool finished = false;
    // The lambda outlives its coroutine, whose frame reaches the captures through it.
    const auto wait = [&]() -> QCoro::Task<> {
        const auto cancelled = co_await pending;
        EXPECT_EQ(cancelled.status, 0);
        finished = true;
    };
    auto caller = wait();
    client_.cancelAll();
    EXPECT_TRUE(finished);

    backend_.stop();
    const auto refused = send(APIEndpoint::authMe());
    EXPECT_EQ(refused.status, 0);
    EXPECT_FALSE(refused.timedOut);
    EXPECT_FALSE(refused.error.empty());
}

}  // namespace
