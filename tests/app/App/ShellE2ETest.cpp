// The application on a desktop, as a user meets it: the real `sablix` binary with a window
// manager, its links opened through the desktop's handler (xdg-open), its hot key pressed with
// real X events, its backend the test backend, and the order of its start and quit in its log.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "platform/DefaultsValue.h"
#include "support/SablixSession.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"
#include "servers/TestBackend.h"

using e2e::runOn;
using e2e::waitUntil;
namespace fs = std::filesystem;

namespace {

std::string activeWindowName(const std::string& display) {
    std::string name = runOn(display, {"xdotool", "getactivewindow", "getwindowname"});
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

bool mainWindowVisible(const std::string& display) {
    int code = -1;
    runOn(display, {"xdotool", "search", "--onlyvisible", "--name", "^Sablix$"}, &code);
    return code == 0;
}

// The value of one NAME=value entry.
std::string variable(const std::vector<std::string>& environment, const std::string& name) {
    for (const auto& entry : environment)
        if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
    return {};
}

// Processes of the sablix binary that run with the session's private runtime folder.
size_t sablixProcesses(const std::vector<std::string>& environment) {
    const std::string runtime = "XDG_RUNTIME_DIR=" + variable(environment, "XDG_RUNTIME_DIR");
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        if (fs::read_symlink(entry.path() / "exe", error) != fs::path(e2e::SablixSession::binary())) continue;
        std::ifstream in(entry.path() / "environ", std::ios::binary);
        const std::string variables((std::istreambuf_iterator<char>(in)), {});
        if (variables.find(runtime + '\0') != std::string::npos) ++count;
    }
    return count;
}

size_t requestsTo(const testservers::TestBackend& backend, const std::string& prefix) {
    const auto log = backend.log();
    return std::count_if(log.begin(), log.end(), [&](const auto& r) { return r.path.starts_with(prefix); });
}

// Each text appears in the log, in the order given.
void expectInOrder(const std::string& log, const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const auto& text : texts) {
        const size_t found = log.find(text, at);
        ASSERT_NE(found, std::string::npos) << "\"" << text << "\" missing or out of order";
        at = found + text.size();
    }
}

}  // namespace

TEST(ShellE2E, LinksHotKeyUpdatesAndTheOrderOfStartAndQuit) {
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.startWindowManager());
    const std::string display = server.display();
    testservers::TestBackend backend(testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"));
    ASSERT_TRUE(backend.start());
    testsupport::TkTextField field;
    ASSERT_TRUE(field.start(display));

    e2e::SablixSession session(display);
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeSetting("WEBSITE_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeSetting("APPCAST_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL() + "/appcast.xml"));
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    EXPECT_EQ(activeWindowName(display), "Sablix") << "the main window opens at launch";

    // The hot key brings the window forward from another application and hides it again.
    ASSERT_TRUE(field.focus());
    ASSERT_TRUE(session.waitUntilTapSeesKeys()) << session.log();
    runOn(display, {"xdotool", "key", "ctrl+space"});
    EXPECT_TRUE(waitUntil([&] { return activeWindowName(display) == "Sablix"; }, 5000)) << activeWindowName(display);
    runOn(display, {"xdotool", "key", "ctrl+space"});
    EXPECT_TRUE(waitUntil([&] { return !mainWindowVisible(display); }, 5000));
    EXPECT_NE(activeWindowName(display), "Sablix");

    // Links through the desktop's handler, which the first start registered.
    const auto environment = session.environment();
    const std::string mimeapps = variable(environment, "XDG_CONFIG_HOME") + "/mimeapps.list";
    ASSERT_TRUE(waitUntil(
        [&] {
            std::ifstream in(mimeapps);
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            return text.find("x-scheme-handler/sablix=sablix.desktop") != std::string::npos;
        },
        10000))
        << "the handler was not registered";
    const auto open = [&](const std::string& link) {
        int code = -1;
        testsupport::runCommand({"xdg-open", link}, &code, 10000, environment);
        return code;
    };
    EXPECT_EQ(open("sablix://install/Weekly-Report"), 0);
    EXPECT_EQ(open("sablix://install/" + std::string(201, 'a')), 0);
    ASSERT_TRUE(session.waitForLog("Install link ignored", 10000, 2)) << session.log();
    EXPECT_EQ(open("sablix://install/weekly-report"), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto library = session.storedLibrary();
            return std::any_of(library.begin(), library.end(),
                               [](const auto& s) { return s.snippetTitle == "weekly"; });
        },
        10000))
        << session.log();
    EXPECT_EQ(requestsTo(backend, "/api/templates/"), 1u) << "refused slugs reach no backend path";
    EXPECT_TRUE(waitUntil([&] { return mainWindowVisible(display); }, 5000)) << "an install brings Sablix forward";
    EXPECT_EQ(sablixProcesses(environment), 1u) << "later starts hand their links over and end";

    // The installed template expands at once in another application.
    ASSERT_TRUE(field.focus());
    ASSERT_TRUE(field.clear());
    runOn(display, {"xdotool", "type", "--delay", "40", ";weekly"});
    EXPECT_EQ(field.waitForContents("This week I finished the report.", 20000), "This week I finished the report.");

    // The update notice's check asks the feed a few seconds after launch.
    EXPECT_TRUE(waitUntil([&] { return requestsTo(backend, "/appcast.xml") >= 1; }, 10000));

    EXPECT_EQ(session.stop(), 0);
    expectInOrder(session.log(),
                  {"Starting the updater", "Starting analytics", "app_launch", "Checking the permission to watch keys",
                   "Starting App with Permissions Granted", "Registering the hot key", "Hotkey registered",
                   "Checking for a pending template install", "Shutting down: key tap", "Shutting down: hot key",
                   "Shutting down: sync"});
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
}
