// Signing in as a user does it: the real `sablix` binary on a desktop, the browser's trip through
// the backend's sign-in page ending in the application's link, opened through the desktop's
// handler (xdg-open); then a restart that finds the account again.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <httplib.h>
#include <string>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/DefaultsValue.h"
#include "servers/TestBackend.h"
#include "support/ProbedWindow.h"
#include "support/SablixSession.h"
#include "support/XvfbServer.h"

using e2e::waitUntil;

namespace {

std::string variable(const std::vector<std::string>& environment, const std::string& name) {
    for (const auto& entry : environment)
        if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
    return {};
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<testservers::LoggedRequest> requestsTo(const testservers::TestBackend& backend, const std::string& path) {
    std::vector<testservers::LoggedRequest> found;
    for (const auto& request : backend.log())
        if (request.path == path) found.push_back(request);
    return found;
}

}  // namespace

TEST(SignInE2E, TheCallbackLinkSignsInAndARestartKeepsTheUser) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.startWindowManager());
    testservers::TestBackend backend(testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"));
    ASSERT_TRUE(backend.start());

    e2e::SablixSession session(server.display());
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    ASSERT_TRUE(session.start());
    const auto environment = session.environment();
    const std::string mimeapps = variable(environment, "XDG_CONFIG_HOME") + "/mimeapps.list";
    ASSERT_TRUE(
        waitUntil([&] { return readFile(mimeapps).find("x-scheme-handler/sablix") != std::string::npos; }, 10000))
        << "the link handler was not registered\n"
        << session.log();

    // The browser's part: the sign-in page signs the user in and sends it to the application.
    httplib::Client browser("127.0.0.1", backend.port());
    const auto page = browser.Get("/api/auth/signin?provider=google&redirect_uri=sablix://auth/callback");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 302);
    const std::string link = page->get_header_value("Location");
    int code = -1;
    testsupport::runCommand({"xdg-open", link}, &code, 10000, environment);
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(session.waitForLog("Signed in as rowan@example.com", 15000)) << session.log();

    const auto profileRequests = requestsTo(backend, "/api/auth/me");
    ASSERT_EQ(profileRequests.size(), 1u);
    EXPECT_EQ(profileRequests[0].header("Authorization"), "Bearer access-rowan-1");

    const std::filesystem::path credentials = variable(environment, "XDG_DATA_HOME") + "/Sablix/credentials.json";
    EXPECT_EQ(session.logCount("No Secret Service answers; credentials are kept in " + credentials.string()), 1u);
    struct stat status {};
    ASSERT_EQ(::stat(credentials.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    const auto user = nlohmann::json{{"id", "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"},
                                     {"email", "rowan@example.com"},
                                     {"displayName", "Rowan Tesk"},
                                     {"authProvider", "google"},
                                     {"createdAt", "2025-03-01T10:00:00Z"}};
    const auto stored = nlohmann::json::parse(readFile(credentials), nullptr, false);
    EXPECT_EQ(stored, (nlohmann::json{{"com.sablix.app",
                                       {{"auth_access_token", "access-rowan-1"},
                                        {"auth_refresh_token", "refresh-rowan-1"},
                                        {"auth_token_expiry", "4070908800.0"},
                                        {"auth_user_id", "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"},
                                        {"auth_user_data", user.dump()}}}}));
    EXPECT_EQ(session.stop(), 0);

    // A later launch is signed in from what was stored, without asking the backend; its settings
    // sheet shows the user, and Sign Out tells the backend and empties the store.
    backend.reset();
    e2e::ProbedWindow window(server.display());
    ASSERT_TRUE(session.start());
    EXPECT_TRUE(session.waitForLog("Loaded cached auth for rowan@example.com", 10000)) << session.log();
    EXPECT_TRUE(requestsTo(backend, "/api/auth/me").empty());
    EXPECT_EQ(nlohmann::json::parse(readFile(credentials), nullptr, false), stored);
    ASSERT_TRUE(window.click("settingsButton"));
    EXPECT_TRUE(window.shows("userDisplayName", "Rowan Tesk"));
    ASSERT_TRUE(window.click("signOutButton"));
    EXPECT_TRUE(window.shows("signInButton"));
    EXPECT_TRUE(waitUntil([&] { return requestsTo(backend, "/api/auth/signout").size() == 1; }, 10000));
    EXPECT_TRUE(
        waitUntil([&] { return nlohmann::json::parse(readFile(credentials), nullptr, false) != stored; }, 10000));
    const auto emptied = nlohmann::json::parse(readFile(credentials), nullptr, false);
    EXPECT_TRUE(emptied.is_object() &&
                (emptied.empty() || emptied.value("com.sablix.app", nlohmann::json::object()).empty()))
        << emptied.dump();
    EXPECT_EQ(session.stop(), 0);
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
}
