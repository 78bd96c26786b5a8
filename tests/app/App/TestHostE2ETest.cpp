// A process that hosts tests sets the test-host flag: launching the real binary with it starts no
// part of the application, whatever the command line asks for.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "platform/DefaultsValue.h"
#include "servers/TestBackend.h"
#include "support/ChildProcess.h"
#include "support/SablixSession.h"
#include "support/XvfbServer.h"

using e2e::runOn;
using e2e::waitUntil;

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string variable(const std::vector<std::string>& environment, const std::string& name) {
    for (const auto& entry : environment)
        if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
    return {};
}

}  // namespace

TEST(TestHostE2E, WithTheTestHostFlagLaunchingStartsNothing) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.startWindowManager());
    testservers::TestBackend backend(testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"));
    ASSERT_TRUE(backend.start());
    e2e::SablixSession session(server.display());
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeSetting("WEBSITE_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));

    auto environment = session.environment();
    environment.push_back("SABLIX_UNIT_TEST_HOST=1");
    const std::string log = variable(environment, "XDG_RUNTIME_DIR") + "/test-host.log";
    const std::string mimeapps = variable(environment, "XDG_CONFIG_HOME") + "/mimeapps.list";
    testsupport::ChildProcess host({e2e::SablixSession::binary(), "sablix://install/weekly-report"}, environment, log);
    ASSERT_TRUE(
        waitUntil([&] { return readFile(log).find("Unit-test host: nothing started") != std::string::npos; }, 10000))
        << readFile(log);

    // A launch shows its window, registers the link handler and fetches the linked template
    // within moments; a test host does none of it while it runs.
    const auto anythingStarted = [&] {
        int found = -1;
        runOn(server.display(), {"xdotool", "search", "--onlyvisible", "--name", "^Sablix$"}, &found);
        return found == 0 || std::filesystem::exists(mimeapps) || !backend.log().empty();
    };
    EXPECT_FALSE(waitUntil(anythingStarted, 3000)) << readFile(log);
    EXPECT_TRUE(host.running());
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", readFile(log).c_str());
}
