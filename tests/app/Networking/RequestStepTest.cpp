#include <gtest/gtest.h>
#include <QCoro/QCoroTask>
#include <QObject>
#include <stdexcept>

#include "Networking/RequestStep.h"
#include "platform/MemoryDefaults.h"
#include "servers/TestBackend.h"

using nlohmann::json;

namespace sablix {
namespace {

constexpr const char* kRoute = "/api/auth/me";
using Kind = RequestError::Kind;

QCoro::Task<std::string> tokenOf(std::string token) { co_return token; }

QCoro::Task<std::string> noToken() {
    throw std::runtime_error("Not signed in");
    co_return "";
}

// An answer's "n" as an integer; anything else is a decoding failure.
int64_t decodeNumber(const APIResponse& response) {
    const auto body = response.json();
    if (!body || !body->is_object() || !body->contains("n")) throw std::runtime_error("no number in the answer");
    return body->at("n").get<int64_t>();
}

class RequestStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(backend_.start());
        defaults_.set(AppEnvironment::kBaseURLOverrideKey, backend_.baseURL());
    }
    RequestResult<int64_t> send(const RequestStep& step, std::chrono::milliseconds timeout = kDefaultRequestTimeout) {
        return QCoro::waitFor(step.send(APIEndpoint::authMe(), APIRequest("GET", std::nullopt, std::nullopt, timeout),
                                        AcceptedStatus::exactly(200), decodeNumber));
    }

    testservers::TestBackend backend_;
    platform::MemoryDefaults defaults_;
    AppEnvironment environment_{AppEnvironment::Kind::development, &defaults_};
    APIClient client_{environment_};
};

// Every way a request ends, as the services that word their messages from it see it.
TEST_F(RequestStepTest, EachOutcomeCarriesItsKindAndText) {
    struct Case {
        const char* name;
        int status;  // the backend's canned answer; 0 for one that comes too late
        std::string body;
        RequestStep::TokenSource token;
        std::optional<Kind> kind;  // none: the decoded value 7
        std::string message;
        std::optional<std::string> serverMessage;
    };
    const std::vector<Case> cases = {
        {"decoded", 200, R"({"n":7})", [] { return tokenOf("t0k"); }, std::nullopt, "", std::nullopt},
        {"refused with the server's text", 403, R"({"error":"Not a member"})", nullptr, Kind::status,
         "the server answered HTTP status 403", "Not a member"},
        {"refused without text", 500, R"({"error":17})", nullptr, Kind::status, "the server answered HTTP status 500",
         std::nullopt},
        {"an answer that does not decode", 200, "<html>", nullptr, Kind::decoding, "no number in the answer",
         std::nullopt},
        {"no token", 200, R"({"n":7})", noToken, Kind::noToken, "Not signed in", std::nullopt},
        {"no answer in time", 0, "", nullptr, Kind::timedOut, APIClient::kTimedOutMessage, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend_.reset();
        if (c.status)
            backend_.fail(kRoute, c.status, c.body);
        else
            backend_.delay(kRoute, 10'000);
        const RequestStep step(client_, c.token);
        const auto result = send(step, c.status ? kDefaultRequestTimeout : std::chrono::milliseconds(200));
        if (!c.kind) {
            ASSERT_TRUE(result.has_value()) << result.error().message;
            EXPECT_EQ(result.value(), 7);
            EXPECT_EQ(backend_.log().at(0).header("Authorization"), "Bearer t0k");
            continue;
        }
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, *c.kind);
        EXPECT_EQ(result.error().message, c.message);
        EXPECT_EQ(result.error().serverMessage, c.serverMessage);
        if (c.kind == Kind::noToken) {
            EXPECT_TRUE(backend_.log().empty()) << "nothing goes out without its token";
        }
    }
}

// A service destroyed while its token is fetched sends nothing and gets a cancellation.
TEST_F(RequestStepTest, AnOwnerGoneWhileTheTokenIsFetchedSendsNothing) {
    backend_.fail(kRoute, 200, R"({"n":7})");
    auto* owner = new QObject;
    const RequestStep step(
        client_,
        [&owner] {
            delete owner;
            return tokenOf("t0k");
        },
        owner);
    const auto result = send(step);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, Kind::cancelled);
    EXPECT_TRUE(backend_.log().empty());
}

}  // namespace
}  // namespace sablix
