#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/ChildProcess.h"

namespace testsupport {

// A real X client that nobody on the project wrote: `wish` showing one Tk `text` widget in a
// window with a title unique to this object. End-to-end tests focus it, type into it (xdotool,
// posted keys, pastes) and read back what it holds. The content travels through files: the
// script polls every 20 ms for a request file, answers in a result file and deletes the request.
// The wish process is stopped by its PID when the object goes away.
class TkTextField {
public:
    // What contents() answers when the field did not answer in time; it never equals real text
    // a test expects, so an unresponsive field fails the test instead of looking empty.
    static constexpr const char* kNoAnswer = "<no answer from the Tk text field>";
    // The window's WM_CLASS class name.
    static constexpr const char* kClassName = "Tkfield";

    TkTextField();
    ~TkTextField();
    TkTextField(const TkTextField&) = delete;
    TkTextField& operator=(const TkTextField&) = delete;

    // Starts wish on the display (":N") and waits until the window is mapped; false when it
    // could not be started within a few seconds. The window carries _NET_WM_PID (set for Tk,
    // which does not set it itself), like the windows of most toolkits.
    bool start(const std::string& display);
    // Gives the window the keyboard focus (xdotool windowactivate when a window manager runs,
    // then windowfocus --sync); false on failure.
    bool focus();
    // The widget's whole text, UTF-8, without the trailing newline a Tk text always holds.
    std::string contents(int timeoutMs = 5000);
    // Asks until the text equals `expected` (keys reach the widget asynchronously) or the time
    // is up; answers the last text seen.
    std::string waitForContents(const std::string& expected, int timeoutMs = 5000);
    // Empties the widget; false when it did not answer in time.
    bool clear(int timeoutMs = 5000);
    // From now on the application is busy for `stall` each time the key (a Tk keysym such as "m")
    // is typed, before it handles that key and whatever comes after it.
    bool stallOnKey(const std::string& keysym, std::chrono::milliseconds stall);

    // One change of the text, stamped by the widget the moment it made it (contents() polls
    // every 20 ms, too coarse to time a paste).
    struct Change {
        std::chrono::system_clock::time_point at;
        size_t length;  // in characters
    };
    // The changes made since the previous call, oldest first.
    std::vector<Change> newChanges();

    pid_t pid() const;
    const std::string& title() const { return title_; }
    // The top-level window that carries the title (0 before start()).
    unsigned long window() const { return window_; }
    // Stops wish now (also done on destruction).
    void stop();

private:
    bool request(const std::string& command, int timeoutMs);

    std::string title_;
    std::string directory_;
    std::string display_;
    unsigned long window_ = 0;
    size_t changesRead_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace testsupport
