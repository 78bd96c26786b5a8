#include <algorithm>
#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QTcpServer>
#include <QTcpSocket>

#include "Networking/APIClient.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"
#include "support/LogCapture.h"

using nlohmann::json;

namespace sablix {
namespace {

constexpr const char* kRoute = "/api/auth/me";

class APIClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
    }
    APIResponse send(APIRequest request = APIRequest()) {
        return QCoro::waitFor(client_.send(APIEndpoint::authMe(), std::move(request)));
    }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
};

TEST_F(APIClientTest, SendsJsonWithTheBearerTokenAndHandsBackStatusAndBody) {
    backend_.fail(kRoute, 201, R"({"id":7})");
    const auto created = send(APIRequest("POST", json{{"message", "héllo"}}, "t0k"));
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.json(), (json{{"id", 7}}));
    backend_.fail(kRoute, 404, "");
    EXPECT_EQ(send().status, 404) << "an error status is an answer, not a transport failure";

    const auto log = backend_.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].header("Authorization"), "Bearer t0k");
    EXPECT_EQ(log[0].header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(log[0].body), (json{{"message", "héllo"}}));
    EXPECT_EQ(log[1].header("Authorization"), "");
}

TEST_F(APIClientTest, NoAnswerGivesStatusZeroAndTheReason) {
    backend_.delay(kRoute, 10'000);
    const auto late = send(APIRequest("GET", std::nullopt, std::nullopt, std::chrono::milliseconds(200)));
    EXPECT_EQ(late.status, 0);
    EXPECT_TRUE(late.timedOut);
    EXPECT_EQ(late.error, APIClient::kTimedOutMessage);

    // A reply that stalls after its status line is no answer either: a DELETE cut there must not
    // read as done, nor a pull as a body that is not JSON.
    QTcpServer stalling;
    ASSERT_TRUE(stalling.listen(QHostAddress::LocalHost));
    QObject::connect(&stalling, &QTcpServer::newConnection, [&] {
        stalling.nextPendingConnection()->write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"id\":");
    });
    const auto cut =
        QCoro::waitFor(client_.send(QUrl(QString("http://127.0.0.1:%1/").arg(stalling.serverPort())),
                                    APIRequest("DELETE", std::nullopt, std::nullopt, std::chrono::milliseconds(300))));
    EXPECT_EQ(cut.status, 0);
    EXPECT_TRUE(cut.timedOut);

    // At quit a request still under way ends at once, and its caller's coroutine finishes.
    auto pending = client_.send(APIEndpoint::authMe());
    bool finished = false;
    // The lambda outlives its coroutine, whose frame reaches the captures through it.
    const auto wait = [&]() -> QCoro::Task<> {
        EXPECT_EQ((co_await pending).status, 0);
        finished = true;
    };
    auto caller = wait();
    client_.cancelAll();
    EXPECT_TRUE(finished);

    backend_.stop();
    const auto refused = send();
    EXPECT_EQ(refused.status, 0);
    EXPECT_NE(refused.error, "");
}

// A server of another origin (another port) must never see a token or a body that was meant for
// the backend; only plain requests follow a redirect there.
TEST_F(APIClientTest, ATokenOrABodyFollowsARedirectOnlyWithinItsOrigin) {
    testsupport::LogCapture logs;
    testservers::TestBackend elsewhere;
    ASSERT_TRUE(elsewhere.start());
    const std::string sameOrigin = backend_.baseURL() + testservers::TestBackend::kFeedbackRoute;
    const std::string otherOrigin = elsewhere.baseURL() + testservers::TestBackend::kFeedbackRoute;
    struct Case {
        std::string location;
        int redirectStatus;
        APIRequest request;
        int status;  // 0: not followed
    };
    const std::vector<Case> cases{
        {otherOrigin, 302, APIRequest("GET", std::nullopt, "secret-t0k"), 0},
        {otherOrigin, 307, APIRequest("POST", json{{"refresh_token", "secret-r3fresh"}}), 0},
        {otherOrigin, 308, APIRequest("PUT", json{{"a", 1}}, "secret-t0k"), 0},
        {sameOrigin, 307, APIRequest("POST", json{{"a", 1}}, "secret-t0k"), 200},
        {otherOrigin, 302, APIRequest("GET"), 200},
    };
    for (const auto& [location, redirectStatus, request, status] : cases) {
        backend_.reset();
        elsewhere.reset();
        backend_.redirect(kRoute, location, redirectStatus);
        const auto response = send(request);
        const std::string label = request.method + " to " + location;
        EXPECT_EQ(response.status, status) << label;
        if (status == 0) {
            EXPECT_EQ(response.error, APIClient::kRedirectRefusedMessage) << label;
            EXPECT_TRUE(elsewhere.log().empty()) << label;
            EXPECT_TRUE(
                logs.has("APIClient", "Redirect to another origin not followed: " + backend_.baseURL() + kRoute))
                << label;
        } else {
            // The server may log the redirect after the request it led to: look the latter up.
            const auto log = (location == sameOrigin ? backend_ : elsewhere).log();
            const auto arrived = std::find_if(log.begin(), log.end(), [](const auto& logged) {
                return logged.path == testservers::TestBackend::kFeedbackRoute;
            });
            ASSERT_NE(arrived, log.end()) << label;
            if (request.bearerToken) {
                EXPECT_EQ(arrived->header("Authorization"), "Bearer secret-t0k") << label;
            }
        }
    }
    for (const auto& record : logs.records()) EXPECT_EQ(record.message.find("secret"), std::string::npos);

    // A scheme other than http and https is refused as such, whatever the request.
    backend_.redirect(kRoute, "file:///etc/passwd", 302);
    EXPECT_EQ(send().error, APIClient::kRedirectRefusedMessage);
    EXPECT_TRUE(logs.has("APIClient", "Redirect to the scheme file not followed: " + backend_.baseURL() + kRoute));
}

}  // namespace
}  // namespace sablix
