#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Snippets/SnippetItem.h"

#include "support/ChildProcess.h"
#include "support/Wait.h"

namespace platform {
class DefaultsValue;
}

namespace e2e {

// The real `sablix` binary on a test's X display, with a private configuration and data folder
// (a prepared defaults.json) and its log (stderr) in a file the test reads.
class SablixSession {
public:
    // The server records keys for the engine from now on; the engine says it registered its tap
    // a moment before the recording starts, and keys typed in between are never seen.
    static constexpr const char* kTapRunning = "Recording started";
    // Keys typed from now on go to the fill-in dialog (those typed before it had the focus wait
    // for the snippet).
    static constexpr const char* kDialogHasTheKeyboard = "The fill-in dialog has the keyboard";

    explicit SablixSession(std::string display);
    ~SablixSession();
    SablixSession(const SablixSession&) = delete;
    SablixSession& operator=(const SablixSession&) = delete;

    // Writes the personal library into the defaults file; call before start().
    void storeLibrary(const std::vector<sablix::SnippetItem>& items);
    // Writes one setting into the defaults file; call before start().
    void storeSetting(const std::string& key, const platform::DefaultsValue& value);
    // Writes the credential file a completed sign-in of that user leaves (the tokens valid for
    // decades); call before start().
    void storeSignIn(const nlohmann::json& user, const std::string& accessToken, const std::string& refreshToken);
    // Adds a variable ("NAME=value") to those it runs under, replacing one of the same name; call
    // before start().
    void setEnvironment(const std::string& entry);
    // Where it keeps its application data (credentials, the team database).
    std::filesystem::path dataFolder() const;
    // The personal library as stored now.
    std::vector<sablix::SnippetItem> storedLibrary() const;
    // Starts it in the development environment and waits (a few seconds at most) until its main
    // window shows, which a window manager focuses.
    bool start(const std::vector<std::string>& arguments = {});
    // Starts it without waiting for anything.
    bool launch(const std::vector<std::string>& arguments = {});
    // The variables the session runs under (display, private folders): a program started with
    // them reaches the same running instance and the same settings.
    std::vector<std::string> environment() const;
    // Waits until the keystroke tap is registered and keys typed now reach it.
    bool waitUntilTapSeesKeys();
    // Waits until the log holds the text `count` times; false on time-out.
    bool waitForLog(const std::string& text, int timeoutMs = 20000, size_t count = 1) const;
    size_t logCount(const std::string& text) const;
    std::string log() const;
    bool running() const;
    pid_t pid() const;
    // Ends it with SIGTERM and answers its exit status (as waitpid gives it).
    int stop();
    // Waits for it to end by itself; its exit status, or -1 on time-out.
    int waitForExit(int timeoutMs);

    static std::string binary();

private:
    // Qt's warnings about the application's own QML in the log of the last run (a binding loop, a
    // property it cannot assign) fail the test that ran it.
    void failOnOwnQmlWarnings() const;

    std::string display_;
    std::string directory_;
    std::string logFile_;
    std::vector<std::string> extraEnvironment_;
    std::unique_ptr<testsupport::ChildProcess> process_;
};

using testsupport::waitUntil;

// Runs a program against the display (bounded in time) and answers its standard output.
std::string runOn(const std::string& display, const std::vector<std::string>& argv, int* exitCode = nullptr,
                  int timeoutMs = 10000);

}  // namespace e2e
