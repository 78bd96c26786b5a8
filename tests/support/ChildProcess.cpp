#include "support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {
namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        const auto name = entry.substr(0, entry.find('=') + 1);
        bool overridden = false;
        for (const auto& x : extra)
            if (x.rfind(name, 0) == 0) overridden = true;
        if (!overridden) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// The argument and environment vectors of one spawn, kept alive until it has happened.
struct SpawnArguments {
    std::vector<std::string> env;
    std::vector<char*> argv;
    std::vector<char*> envp;

    SpawnArguments(const std::vector<std::string>& arguments, const std::vector<std::string>& environment)
        : env(mergedEnvironment(environment)) {
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
};

// Standard input from /dev/null; standard output (and error, unless errorToNull) to outFd, or
// to /dev/null when outFd is negative.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int outFd,
            bool errorToNull = false) {
    SpawnArguments args(argv, environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        if (errorToNull)
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args.argv[0], &actions, nullptr, args.argv.data(), args.envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitFor(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> environment,
                           const std::string& outputFile) {
    int fd = -1;
    if (!outputFile.empty()) fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = spawn(argv, environment, fd);
    if (fd >= 0) ::close(fd);
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
    }
    return r == 0;
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return status_;
    const int status = waitFor(pid_, timeoutMs);
    if (status == -2) return -1;
    status_ = status;
    pid_ = -1;
    return status_;
}

int ChildProcess::stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    int status = waitFor(pid_, 2000);
    if (status == -2) {
        ::kill(pid_, SIGKILL);
        status = waitFor(pid_, 2000);
    }
    status_ = status;
    pid_ = -1;
    return status_;
}

std::string runCommand(const std::vector<std::string>& argv, int* exitCode, int timeoutMs,
                       const std::vector<std::string>& environment) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        if (exitCode) *exitCode = -1;
        return {};
    }
    const pid_t pid = spawn(argv, environment, fds[1], true);
    const bool started = pid > 0;
    ::close(fds[1]);
    std::string out;
    if (!started) {
        ::close(fds[0]);
        if (exitCode) *exitCode = -1;
        return out;
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = -1;
    bool exited = false;
    while (true) {
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
        if (exited && n == 0) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            if (!exited) {
                ::kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                status = -1;
                exited = true;
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fds[0]);
    if (exitCode) *exitCode = (status >= 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return out;
}

bool focusWindow(const std::string& display, unsigned long window) {
    if (window == 0) return false;
    // A window just created may not be mapped yet, and focusing it then fails: try until it is.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (true) {
        int code = -1;
        runCommand({"xdotool", "windowfocus", "--sync", std::to_string(window)}, &code, 5000, {"DISPLAY=" + display});
        if (code == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace testsupport
