#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A process a test started. It is stopped by its PID (SIGTERM, then SIGKILL) when the object
// goes away, so no test leaves a process behind.
class ChildProcess {
public:
    // Starts argv[0] (searched in PATH) with the extra environment entries "NAME=value".
    // When outputFile is not empty, stdout and stderr go there; otherwise to /dev/null.
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> environment = {},
                 const std::string& outputFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Stops it and returns its exit status (as waitpid gives it), or -1 when it was not running.
    int stop();
    // Waits up to timeoutMs for it to exit by itself; its status, or -1 on time-out.
    int wait(int timeoutMs);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a command to completion (bounded by timeoutMs, killed after that) and returns its
// standard output; exitCode receives its exit status (-1 when killed or not started).
std::string runCommand(const std::vector<std::string>& argv, int* exitCode = nullptr, int timeoutMs = 10000,
                       const std::vector<std::string>& environment = {});

// Gives an X client's window the keyboard focus on that display; false when xdotool could not.
bool focusWindow(const std::string& display, unsigned long window);

// What a file a helper client writes holds now, whole; empty when it is not there yet.
std::string fileContents(const std::string& path);

}  // namespace testsupport
