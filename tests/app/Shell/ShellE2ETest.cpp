// The application on a desktop, as a user meets it: the real `sablix` binary with a window
// manager, its links opened through the desktop's handler (xdg-open), its hot key pressed with
// real X events, its backend the test backend, and the order of its start and quit in its log.
#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "desktop/SingleInstance.h"
#include "platform/DefaultsValue.h"
#include "support/ActivationRequests.h"
#include "support/Desk.h"
#include "support/ModelsTestSupport.h"
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

// Connections that send nothing, to the Unix socket the process listens on ("@name" in /proc for
// one in the abstract namespace); none when it listens on none.
std::vector<int> idleConnections(pid_t pid, int count) {
    std::set<std::string> sockets;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        sockets.insert(fs::read_symlink(fd.path(), error).string());
    std::ifstream table("/proc/net/unix");
    std::string line, slot, references, protocol, flags, type, state, inode, name;
    while (name.clear(), std::getline(table, line)) {
        std::istringstream(line) >> slot >> references >> protocol >> flags >> type >> state >> inode >> name;
        if (flags == "00010000" && sockets.contains("socket:[" + inode + "]")) break;  // listening
    }
    sockaddr_un address{AF_UNIX, {}};
    name.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const bool abstract = name.starts_with('@');
    if (abstract) address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + !abstract);
    std::vector<int> fds;
    for (int i = 0; !name.empty() && i < count; ++i) {
        fds.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fds.back(), reinterpret_cast<const sockaddr*>(&address), length) != 0) fds.pop_back();
    }
    return fds;
}

// A start of the binary with the session's variables: its exit status and what it printed.
std::pair<int, std::string> startAgain(const std::vector<std::string>& environment,
                                       const std::vector<std::string>& links) {
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" 2>&1", e2e::SablixSession::binary()};
    argv.insert(argv.end(), links.begin(), links.end());
    int code = -1;
    std::string output = testsupport::runCommand(argv, &code, 30000, environment);
    return {code, output};
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
    // Started again, as from the desktop's menu: the window comes back, then goes again.
    const auto environment = session.environment();
    EXPECT_EQ(startAgain(environment, {}).first, 0);
    EXPECT_TRUE(waitUntil([&] { return activeWindowName(display) == "Sablix"; }, 5000)) << activeWindowName(display);
    runOn(display, {"xdotool", "key", "ctrl+space"});
    EXPECT_TRUE(waitUntil([&] { return !mainWindowVisible(display); }, 5000));

    // Links through the desktop's handler, which the first start registered.
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
    testsupport::ActivationRequests activations(display);
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
    // Every link brings Sablix forward, the refused ones too: the first shows the hidden window,
    // which the window manager focuses as it maps it; the second and the install, each once it is
    // done, ask the manager to activate the shown window. The field may take the focus only after
    // the install's request, or the request, heard late, takes the focus back from it.
    EXPECT_TRUE(waitUntil([&] { return activations.countExcept(field.window()) >= 2; }, 10000))
        << "an install brings Sablix forward";
    EXPECT_TRUE(mainWindowVisible(display));
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

// The runtime folder lies deeper than a socket address can name: the guard holds all the same.
TEST(ShellE2E, LaterStartsHandEveryLinkOverOrSayTheyCouldNot) {
    modelstest::TempDir base;
    const fs::path deep = base.path() / std::string(100, 'd');
    fs::create_directories(deep);
    const char* tmp = std::getenv("TMPDIR");
    const std::optional<std::string> savedTmp = tmp ? std::optional<std::string>(tmp) : std::nullopt;
    ::setenv("TMPDIR", deep.c_str(), 1);
    e2e::Desk desk;  // its session's folders lie in TMPDIR
    savedTmp ? ::setenv("TMPDIR", savedTmp->c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_TRUE(desk.open());
    ASSERT_TRUE(desk.session.start());
    const auto environment = desk.session.environment();
    const fs::path socket = fs::path(variable(environment, "XDG_RUNTIME_DIR")) / "sablix.socket";
    ASSERT_GT(socket.string().size(), sizeof(sockaddr_un::sun_path));
    const std::vector<int> idle = idleConnections(desk.session.pid(), 8);
    ASSERT_EQ(idle.size(), 8u) << "the running instance listens for later starts";

    // A burst of starts at once behind the idle connections, each with a link of its own (an
    // unknown host is logged by name).
    constexpr int kBurst = 48;
    const auto host = [](int i) { return "burst-" + std::to_string(100 + i); };
    std::vector<std::future<desktop::SingleInstance::Claim>> burst;
    for (int i = 0; i < kBurst; ++i)
        burst.push_back(std::async(std::launch::async, [&, i] {
            return desktop::SingleInstance(socket).claim({"sablix://" + host(i) + "/x"});
        }));
    for (auto& claim : burst) EXPECT_EQ(claim.get(), desktop::SingleInstance::Claim::Forwarded);
    const auto lost = [&] {
        const std::string log = desk.session.log();
        return std::count_if(burst.begin(), burst.end(),
                             [&, i = 0](auto&) mutable { return log.find(host(i++)) == std::string::npos; });
    };
    EXPECT_TRUE(waitUntil([&] { return lost() == 0; }, 20000)) << lost() << " of " << kBurst << " links lost";
    EXPECT_EQ(startAgain(environment, {"sablix://second-start/x"}).first, 0);
    EXPECT_TRUE(desk.session.waitForLog("second-start", 10000));
    EXPECT_EQ(sablixProcesses(environment), 1u);

    // A running instance that does not answer: the start says so and fails, and the link it gave
    // up on is not opened later.
    ::kill(desk.session.pid(), SIGSTOP);
    const auto [code, output] = startAgain(environment, {"sablix://while-stopped/x"});
    ::kill(desk.session.pid(), SIGCONT);
    EXPECT_NE(code, 0);
    EXPECT_NE(output.find("not delivered"), std::string::npos) << output;
    EXPECT_TRUE(desk.session.waitForLog("A start gave up before its links were taken", 10000));
    EXPECT_EQ(desk.session.logCount("while-stopped"), 0u);
    for (const int fd : idle) ::close(fd);
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", desk.session.log().c_str());
}
