#include <future>

#include <gtest/gtest.h>

#include "orbit/HttpSession.h"
#include "orbit/OrbitApi.h"
#include "orbit/Utils/Gzip.h"
#include "support/PeakMemory.h"
#include "servers/HttpsServer.h"
#include "servers/LowerCased.h"
#include "support/RawHttpServer.h"

namespace {

using orbit::HttpRequest;
using orbit::HttpResponse;
using namespace std::chrono_literals;

constexpr int64_t kMiB = 1024 * 1024;

using RawServer = testsupport::RawHttpServer;

// An answer with a body of the length it declares; head without the blank line that ends it.
RawServer::Answer answer(const std::string& head, const std::string& body = "") {
    return {head + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
}

class HttpSessionTest : public ::testing::Test {
protected:
    // The exchange's end; a failure of the test when it never ends.
    static HttpResponse exchange(orbit::HttpSession& session, HttpRequest request) {
        auto done = std::make_shared<std::promise<HttpResponse>>();
        auto ended = done->get_future();
        const auto id = session.send(std::move(request), [done](HttpResponse response) { done->set_value(response); });
        if (ended.wait_for(60s) == std::future_status::ready) return ended.get();
        ADD_FAILURE() << "the exchange never ended";
        session.cancel(id);
        return ended.get();
    }
    HttpResponse exchange(HttpRequest request) { return exchange(session_, std::move(request)); }

    orbit::HttpSession session_{{{"Accept-Encoding", ""}}, "test.http"};
};

// The rule is judged on the address the session goes to: with two Location lines, or on a status
// that is no redirect to follow, nothing reaches the other origin, while a clear redirect is
// followed with the request's body, and elsewhere without its credentials.
TEST_F(HttpSessionTest, ARedirectIsFollowedOnlyToTheAddressItWasJudgedOn) {
    RawServer elsewhere([](const RawServer::Request&) { return answer("HTTP/1.1 200 OK", "elsewhere"); });
    RawServer home([&](const RawServer::Request& request) {
        if (request.head.starts_with("POST /two ")) {
            return answer("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + elsewhere.url() + "\r\nLocation: /done");
        }
        if (request.head.starts_with("POST /proxy "))
            return answer("HTTP/1.1 305 Use Proxy\r\nLocation: " + elsewhere.url());
        if (request.head.starts_with("POST /same "))
            return answer("HTTP/1.1 307 Temporary Redirect\r\nLocation: /done");
        if (request.head.starts_with("POST /away "))
            return answer("HTTP/1.1 308 Permanent Redirect\r\nLocation: " + elsewhere.url());
        return answer("HTTP/1.1 200 OK", "home");
    });
    const auto post = [&](const std::string& path, HttpRequest::Redirects rule) {
        HttpRequest request;
        request.method = "POST";
        request.url = home.url(path);
        request.body = R"({"refresh_token":"secret"})";
        request.headers = {{"Authorization", "Bearer secret"}};
        request.redirects = rule;
        return exchange(std::move(request));
    };

    const auto twoLocations = post("/two", HttpRequest::Redirects::sameOrigin);
    EXPECT_EQ(twoLocations.failure, HttpResponse::Failure::redirectRefused);
    EXPECT_EQ(twoLocations.redirectRefusal, HttpResponse::RedirectRefusal::unclearAddress);
    const auto useProxy = post("/proxy", HttpRequest::Redirects::sameOrigin);
    EXPECT_EQ(useProxy.failure, HttpResponse::Failure::none);
    EXPECT_EQ(useProxy.statusCode, 305) << "a 305 is an answer, not a redirect to follow";
    EXPECT_TRUE(elsewhere.requests().empty());

    const auto same = post("/same", HttpRequest::Redirects::sameOrigin);
    EXPECT_EQ(same.data, "home");
    const auto followed = home.requests().back();
    EXPECT_TRUE(followed.head.starts_with("POST /done ")) << followed.head;
    EXPECT_EQ(followed.body, R"({"refresh_token":"secret"})");

    const auto away = post("/away", HttpRequest::Redirects::anyOrigin);
    EXPECT_EQ(away.data, "elsewhere");
    ASSERT_EQ(elsewhere.requests().size(), 1u);
    EXPECT_EQ(elsewhere.requests()[0].body, R"({"refresh_token":"secret"})");
    EXPECT_EQ(elsewhere.requests()[0].head.find("secret"), std::string::npos) << "credentials stay at home";
}

// Whatever the rule, a redirect never takes a request from https to http: under the analytics
// client's rule, the most open there is, an upload or a GET that its https host sends to plain
// http goes nowhere, while the host's move to another https origin is still followed.
TEST_F(HttpSessionTest, NoRedirectLeadsFromHttpsToHttp) {
    RawServer plain([](const RawServer::Request&) { return answer("HTTP/1.1 200 OK", "in clear"); });
    std::string otherOrigin;
    testservers::HttpsServer secure([&](const testservers::HttpsServer::Request& request) {
        using Answer = testservers::HttpsServer::Answer;
        if (request.path == "/upload") return Answer{307, {{"Location", plain.url("/batch")}}, ""};
        if (request.path == "/config") return Answer{302, {{"Location", plain.url("/config")}}, ""};
        if (request.path == "/moved") return Answer{308, {{"Location", otherOrigin}}, ""};
        return Answer{200, {}, "secure"};
    });
    otherOrigin = secure.url("/batch", "localhost");
    orbit::HttpSession session({{"Accept-Encoding", ""}}, "test.https", secure.certificatePem());
    const std::string batch = R"({"api_key":"project-key","batch":[{"distinct_id":"user"}]})";
    const auto send = [&](const std::string& method, const std::string& path) {
        HttpRequest request;
        request.method = method;
        request.url = secure.url(path);
        if (method == "POST") {
            request.headers = {{"Content-Encoding", "gzip"}};
            request.body = orbit::gzipped(batch);
        }
        request.redirects = orbit::OrbitApi::redirects;
        return exchange(session, std::move(request));
    };

    for (const auto& [method, path] : {std::pair{"POST", "/upload"}, std::pair{"GET", "/config"}}) {
        const auto refused = send(method, path);
        EXPECT_EQ(refused.failure, HttpResponse::Failure::redirectRefused) << path;
        EXPECT_EQ(refused.redirectRefusal, HttpResponse::RedirectRefusal::scheme) << path;
        EXPECT_EQ(refused.refusedScheme, "http") << path;
    }
    EXPECT_EQ(plain.connections(), 0) << "nothing goes out in clear";

    EXPECT_EQ(send("POST", "/moved").data, "secure");
    const auto moved = secure.requests().back();
    EXPECT_EQ(moved.path, "/batch");
    EXPECT_EQ(moved.headers.at("host").rfind("localhost:", 0), 0u) << moved.headers.at("host");
    EXPECT_EQ(moved.body, batch);
}

// A redirect that turns a request into a GET drops the body and every header that describes it,
// the session's own included; one that repeats the request keeps both. Other headers go along.
TEST_F(HttpSessionTest, ARedirectToGetDropsTheBodyWithItsHeaders) {
    RawServer server([](const RawServer::Request& request) {
        if (request.head.starts_with("POST /see-other ")) return answer("HTTP/1.1 303 See Other\r\nLocation: /done");
        if (request.head.starts_with("POST /found ")) return answer("HTTP/1.1 302 Found\r\nLocation: /done");
        if (request.head.starts_with("POST /again "))
            return answer("HTTP/1.1 307 Temporary Redirect\r\nLocation: /done");
        return answer("HTTP/1.1 200 OK", "done");
    });
    orbit::HttpSession session({{"Accept-Encoding", ""}, {"Content-Type", "application/json"}}, "test.http");
    const std::string body = orbit::gzipped(R"({"refresh_token":"secret"})");
    const auto post = [&](const std::string& path) {
        HttpRequest request;
        request.method = "POST";
        request.url = server.url(path);
        request.headers = {{"Content-Encoding", "gzip"}, {"Content-Language", "en"}, {"Authorization", "Bearer t0k"}};
        request.body = body;
        EXPECT_EQ(exchange(session, std::move(request)).data, "done") << path;
        return server.requests().back();
    };

    for (const std::string path : {"/see-other", "/found"}) {
        const auto followed = post(path);
        const std::string head = testservers::lowerCased(followed.head);
        EXPECT_TRUE(head.starts_with("get /done ")) << path << ":\n" << followed.head;
        EXPECT_EQ(head.find("\r\ncontent-"), std::string::npos) << path << ":\n" << followed.head;
        EXPECT_NE(head.find("\r\nauthorization: bearer t0k"), std::string::npos) << path << ":\n" << followed.head;
        EXPECT_EQ(followed.body, "") << path;
    }
    const auto repeated = post("/again");
    const std::string head = testservers::lowerCased(repeated.head);
    EXPECT_TRUE(head.starts_with("post /done ")) << repeated.head;
    for (const char* kept : {"content-type: application/json", "content-encoding: gzip", "content-language: en"})
        EXPECT_NE(head.find(std::string("\r\n") + kept), std::string::npos) << kept << ":\n" << repeated.head;
    EXPECT_EQ(repeated.body, body);
}

// Neither a redirect's body nor a head is read without a bound, and a compressed answer that
// declares its (compressed) length costs its limit, not a buffer grown by doubling past it.
TEST_F(HttpSessionTest, EveryPartOfAnAnswerIsTakenAgainstItsBound) {
    const std::string zeros(96 * kMiB, '\0');
    const std::string compressed = orbit::gzipped(zeros);
    RawServer server([&](const RawServer::Request& request) -> RawServer::Answer {
        const std::string endlessBody = "\r\nTransfer-Encoding: chunked\r\n\r\n";
        if (request.head.starts_with("GET /redirect "))
            return {"HTTP/1.1 307 Temporary Redirect\r\nLocation: /done" + endlessBody, true};
        if (request.head.starts_with("GET /loop "))
            return {"HTTP/1.1 307 Temporary Redirect\r\nLocation: /loop" + endlessBody, true};
        if (request.head.starts_with("GET /head ")) {
            std::string lines = "HTTP/1.1 200 OK";
            while (lines.size() < orbit::HttpSession::kMaxHeadBytes) lines += "\r\nX-Filler: " + std::string(100, 'x');
            return answer(lines);
        }
        if (request.head.starts_with("GET /line "))
            return answer("HTTP/1.1 200 OK\r\nX-Big: " + std::string(kMiB, 'x'));
        if (request.head.starts_with("GET /gzip "))
            return answer("HTTP/1.1 200 OK\r\nContent-Encoding: gzip", compressed);
        return answer("HTTP/1.1 200 OK", "done");
    });
    const auto get = [&](const std::string& path, size_t limit = orbit::kDefaultMaxResponseBytes) {
        HttpRequest request;
        request.url = server.url(path);
        request.maxResponseBytes = limit;
        request.redirects = HttpRequest::Redirects::sameOrigin;
        return exchange(std::move(request));
    };

    EXPECT_EQ(get("/redirect").data, "done");
    const auto loop = get("/loop");
    EXPECT_EQ(loop.failure, HttpResponse::Failure::transport);
    EXPECT_EQ(loop.reason, "Too many redirects");
    EXPECT_LT(server.written(), 64 * kMiB);
    EXPECT_EQ(get("/head").failure, HttpResponse::Failure::headTooLarge);
    EXPECT_EQ(get("/line").failure, HttpResponse::Failure::headTooLarge);

    // A limit a little past a doubling of the declared length: grown by doubling, the buffer
    // would hold about twice the limit at its last copy.
    size_t limit = compressed.size();
    while (limit < 32 * kMiB) limit *= 2;
    limit += kMiB;
    testsupport::resetPeakResidentBytes();
    const int64_t before = testsupport::peakResidentBytes();
    const auto huge = get("/gzip", limit);
    EXPECT_EQ(huge.failure, HttpResponse::Failure::tooLarge);
    EXPECT_LT(testsupport::peakResidentBytes() - before, int64_t(limit) + 16 * kMiB);
}

}  // namespace
