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
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "desktop/SingleInstance.h"
#include "platform/DefaultsValue.h"
#include "support/Desk.h"
#include "support/SablixSession.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"
#include "servers/TestBackend.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>

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

// The address a process listens on with a Unix socket, "@name" for one in the abstract namespace;
// empty when it listens on none.
std::string listeningAddress(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = fs::read_symlink(fd.path(), error).string();
        if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
    }
    constexpr const char* kListening = "00010000";
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, references, protocol, flags, type, state, inode, path;
        fields >> slot >> references >> protocol >> flags >> type >> state >> inode >> path;
        if (flags == kListening && inodes.contains(inode) && !path.empty()) return path;
    }
    return {};
}

// A connection to that address that sends nothing; -1 when it could not connect.
int idleConnection(const std::string& address) {
    sockaddr_un target{};
    target.sun_family = AF_UNIX;
    std::string name = address;
    if (name.starts_with("@")) name[0] = '\0';
    if (name.size() >= sizeof(target.sun_path)) return -1;
    std::copy(name.begin(), name.end(), target.sun_path);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] ? 1 : 0));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&target), length) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
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

// Closes a window as its title bar's close button does: the client is asked to close it.
void closeWindow(const std::string& display, const std::string& window) {
    Display* x = XOpenDisplay(display.c_str());
    ASSERT_NE(x, nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(x);
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

// The runtime folder lies deeper than a socket address can name: the guard holds all the same.
TEST(ShellE2E, LaterStartsHandEveryLinkOverOrSayTheyCouldNot) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string savedTmp = tmp ? tmp : "";
    std::string base = (tmp && *tmp ? savedTmp : std::string("/tmp")) + "/sablix-deep-XXXXXX";
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    const fs::path deep = fs::path(base) / std::string(100, 'd');
    fs::create_directories(deep);
    ::setenv("TMPDIR", deep.c_str(), 1);
    auto desk = std::make_unique<e2e::Desk>();
    tmp ? ::setenv("TMPDIR", savedTmp.c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_TRUE(desk->open());
    e2e::SablixSession& session = desk->session;
    ASSERT_TRUE(session.start());
    const auto environment = session.environment();
    const fs::path socket = fs::path(variable(environment, "XDG_RUNTIME_DIR")) / "sablix.socket";
    ASSERT_GT(socket.string().size(), sizeof(sockaddr_un::sun_path));
    const std::string address = listeningAddress(session.pid());
    ASSERT_FALSE(address.empty()) << "the running instance listens for later starts\n" << session.log();

    // Connections that never send a thing hold up nobody.
    std::vector<int> idle;
    for (int i = 0; i < 8; ++i) idle.push_back(idleConnection(address));
    EXPECT_EQ(std::count(idle.begin(), idle.end(), -1), 0);

    // A burst of starts at once, each with a link of its own (an unknown host is logged by name).
    constexpr int kBurst = 48;
    const auto linkHost = [](int i) { return "burst-" + std::to_string(100 + i); };
    std::vector<std::future<desktop::SingleInstance::Claim>> burst;
    for (int i = 0; i < kBurst; ++i)
        burst.push_back(std::async(std::launch::async, [&, i] {
            return desktop::SingleInstance(socket).claim({"sablix://" + linkHost(i) + "/x"});
        }));
    for (auto& claim : burst) EXPECT_EQ(claim.get(), desktop::SingleInstance::Claim::Forwarded);
    const auto lost = [&] {
        const std::string log = session.log();
        int count = 0;
        for (int i = 0; i < kBurst; ++i) count += log.find(linkHost(i)) == std::string::npos;
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return lost() == 0; }, 20000)) << lost() << " of " << kBurst << " links lost";
    const auto [code, output] = startAgain(environment, {"sablix://second-start/x"});
    EXPECT_EQ(code, 0) << output;
    EXPECT_TRUE(session.waitForLog("second-start", 10000));
    EXPECT_EQ(sablixProcesses(environment), 1u) << "later starts hand their links over and end";

    // A running instance that does not answer: the start says so and fails, and the link it gave
    // up on is not opened afterwards.
    ::kill(session.pid(), SIGSTOP);
    const auto [stoppedCode, stoppedOutput] = startAgain(environment, {"sablix://while-stopped/x"});
    ::kill(session.pid(), SIGCONT);
    EXPECT_NE(stoppedCode, 0);
    EXPECT_NE(stoppedOutput.find("not delivered"), std::string::npos) << stoppedOutput;
    EXPECT_TRUE(session.waitForLog("A start gave up before its links were taken", 10000));
    EXPECT_EQ(session.logCount("while-stopped"), 0u);

    for (const int fd : idle)
        if (fd >= 0) ::close(fd);
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
    desk.reset();
    fs::remove_all(base);
}

TEST(ShellE2E, StartingSablixAgainBringsItsWindowForward) {
    e2e::Desk desk;
    ASSERT_TRUE(desk.open());
    ASSERT_TRUE(desk.session.start());
    const auto environment = desk.session.environment();

    // Closed with the window's close button: the application runs on without a window.
    const std::string window = desk.mainWindow();
    ASSERT_FALSE(window.empty());
    closeWindow(desk.display(), window);
    ASSERT_TRUE(waitUntil([&] { return desk.mainWindow().empty(); }, 10000));
    auto [code, output] = startAgain(environment, {});
    EXPECT_EQ(code, 0) << output;
    EXPECT_TRUE(waitUntil([&] { return activeWindowName(desk.display()) == "Sablix"; }, 10000))
        << "a closed window comes back in front";

    // Behind another application's window.
    ASSERT_TRUE(desk.field.focus());
    ASSERT_TRUE(waitUntil([&] { return activeWindowName(desk.display()) != "Sablix"; }, 10000));
    std::tie(code, output) = startAgain(environment, {});
    EXPECT_EQ(code, 0) << output;
    EXPECT_TRUE(waitUntil([&] { return activeWindowName(desk.display()) == "Sablix"; }, 10000))
        << "a window behind another comes in front";
    EXPECT_EQ(sablixProcesses(environment), 1u);
    if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", desk.session.log().c_str());
}
