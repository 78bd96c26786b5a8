#include "support/SablixSession.h"
#include "support/Wait.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "Snippets/SnippetController.h"
#include "platform/Clock.h"
#include "platform/DefaultsValue.h"
#include "platform/FileDefaults.h"

namespace e2e {
namespace fs = std::filesystem;
namespace {

constexpr const char* kMainWindowPattern = "^Sablix$";
constexpr const char* kNoTextKey = "Dead key or modifier key pressed (no Unicode output)";

}  // namespace

SablixSession::SablixSession(std::string display) : display_(std::move(display)) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sablix-e2e-XXXXXX";
    if (char* made = ::mkdtemp(pattern.data())) directory_ = made;
    logFile_ = directory_ + "/sablix.log";
}

SablixSession::~SablixSession() {
    process_.reset();
    failOnOwnQmlWarnings();
    std::error_code ignored;
    if (!directory_.empty()) fs::remove_all(directory_, ignored);
}

std::string SablixSession::binary() { return SABLIX_BINARY_DIR "/src/app/sablix"; }

namespace {
platform::FileDefaults defaultsIn(const std::string& directory) {
    return platform::FileDefaults(fs::path(directory) / "config" / "sablix" / "defaults.json",
                                  {sablix::SnippetController::kSavedSnippetItemsKey});
}
}  // namespace

void SablixSession::storeLibrary(const std::vector<sablix::SnippetItem>& items) {
    auto defaults = defaultsIn(directory_);
    const platform::SystemClock clock;
    sablix::SnippetController(defaults, clock).saveItems(items);
}

void SablixSession::storeSetting(const std::string& key, const platform::DefaultsValue& value) {
    defaultsIn(directory_).set(key, value);
}

fs::path SablixSession::dataFolder() const { return fs::path(directory_) / "data" / "Sablix"; }

void SablixSession::storeSignIn(const nlohmann::json& user, const std::string& accessToken,
                                const std::string& refreshToken) {
    const fs::path folder = dataFolder();
    fs::create_directories(folder);
    const nlohmann::json stored = {{"com.sablix.app",
                                    {{"auth_access_token", accessToken},
                                     {"auth_refresh_token", refreshToken},
                                     {"auth_token_expiry", "4070908800.0"},
                                     {"auth_user_id", user.at("id")},
                                     {"auth_user_data", user.dump()}}}};
    const fs::path file = folder / "credentials.json";
    std::ofstream(file) << stored.dump();
    ::chmod(file.c_str(), 0600);
}

std::vector<sablix::SnippetItem> SablixSession::storedLibrary() const {
    auto defaults = defaultsIn(directory_);
    const platform::SystemClock clock;
    return sablix::SnippetController(defaults, clock).loadItems();
}

std::vector<std::string> SablixSession::environment() const {
    // No session bus: credentials go to the private data folder, never to the keyring of the
    // desktop the tests run on.
    std::vector<std::string> variables{"DISPLAY=" + display_,
                                       "QT_QPA_PLATFORM=xcb",
                                       "SABLIX_ENVIRONMENT=development",
                                       "XDG_CONFIG_HOME=" + directory_ + "/config",
                                       "XDG_DATA_HOME=" + directory_ + "/data",
                                       "XDG_CACHE_HOME=" + directory_ + "/cache",
                                       "XDG_RUNTIME_DIR=" + directory_,
                                       "DBUS_SESSION_BUS_ADDRESS="};
    for (const auto& extra : extraEnvironment_) {
        const auto name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(variables, [&](const std::string& entry) { return entry.starts_with(name); });
        variables.push_back(extra);
    }
    return variables;
}

void SablixSession::setEnvironment(const std::string& entry) { extraEnvironment_.push_back(entry); }

bool SablixSession::launch(const std::vector<std::string>& arguments) {
    // The next run's log replaces this one's.
    failOnOwnQmlWarnings();
    std::vector<std::string> argv{binary()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<testsupport::ChildProcess>(argv, environment(), logFile_);
    return process_->pid() > 0;
}

bool SablixSession::start(const std::vector<std::string>& arguments) {
    if (!launch(arguments)) return false;
    // The main window opens at launch and a window manager gives it the focus: tests that type
    // into a window of their own focus it after this, once the main window is up.
    runOn(display_, {"xdotool", "search", "--sync", "--onlyvisible", "--name", kMainWindowPattern}, nullptr, 10000);
    return true;
}

void SablixSession::failOnOwnQmlWarnings() const {
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);)
        if (line.find("qrc:/Sablix/") != std::string::npos && line.find("] error: ") != std::string::npos)
            ADD_FAILURE() << "QML warning: " << line;
}

std::string SablixSession::log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t SablixSession::logCount(const std::string& text) const {
    const std::string all = log();
    size_t count = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++count;
    return count;
}

bool SablixSession::waitForLog(const std::string& text, int timeoutMs, size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (logCount(text) < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool SablixSession::waitUntilTapSeesKeys() {
    if (!waitForLog(kTapRunning)) return false;
    // A Shift press (no text, so it changes nothing) shows when keys typed in the focused window
    // get through to the engine.
    return waitUntil(
        [&] {
            const size_t before = logCount(kNoTextKey);
            int code = -1;
            runOn(display_, {"xdotool", "key", "Shift_L"}, &code);
            return code == 0 && waitForLog(kNoTextKey, 500, before + 1);
        },
        20000);
}

bool SablixSession::running() const { return process_ && process_->running(); }
pid_t SablixSession::pid() const { return process_ ? process_->pid() : -1; }

int SablixSession::stop() {
    if (!process_) return -1;
    // One that ended by itself has no pid left, and kill(-1) would reach every process.
    if (process_->pid() > 0) ::kill(process_->pid(), SIGTERM);
    const int status = process_->wait(5000);
    process_.reset();
    return status;
}

int SablixSession::waitForExit(int timeoutMs) { return process_ ? process_->wait(timeoutMs) : -1; }

std::string runOn(const std::string& display, const std::vector<std::string>& argv, int* exitCode, int timeoutMs) {
    return testsupport::runCommand(argv, exitCode, timeoutMs, {"DISPLAY=" + display});
}

}  // namespace e2e
