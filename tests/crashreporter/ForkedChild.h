#pragma once
// Runs a crash in a child process, so the test process survives it. The child starts with the
// default action for every crash signal (a sanitizer's own handlers are taken out of the way), no
// core file, and a pipe to the parent for what its handlers saw.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

namespace crashtest {

inline int reportFd = -1;

// Async-signal-safe: what a handler in the child tells the parent.
inline void report(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    if (write(reportFd, text, length) < 0) _exit(3);
}

struct ChildResult {
    int status = -1;
    std::string reported;
    bool killedBy(int signo) const { return WIFSIGNALED(status) && WTERMSIG(status) == signo; }
    bool exitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// A bad access: a write to the first page, which is never mapped. Not a null pointer, which the
// undefined-behaviour sanitizer would catch before the processor does.
inline void badAccess() {
    // Read through a volatile so the compiler neither knows nor warns about the address.
    static volatile uintptr_t firstPage = 16;
    *reinterpret_cast<volatile int*>(firstPage) = 1;
}

// A child's deadline only catches a hang, so it is sized for a plain build on a machine whose
// every core is busy; a sanitized child does the same work several times slower.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr unsigned kSanitizerSlowdown = 3;
#else
inline constexpr unsigned kSanitizerSlowdown = 1;
#endif
inline unsigned deadline(unsigned seconds) { return seconds * kSanitizerSlowdown; }

// `deadlineSeconds` bounds the child's life: one that hangs ends by SIGALRM.
inline ChildResult runInChild(const std::function<void()>& body, unsigned deadlineSeconds = 30) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        reportFd = fds[1];
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        for (int signo : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) signal(signo, SIG_DFL);
        // A child that hangs ends by SIGALRM instead of holding the test up.
        alarm(deadline(deadlineSeconds));
        body();
        _exit(0);
    }
    close(fds[1]);
    ChildResult result;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) != 0;) {
        if (n < 0) break;
        result.reported.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

}  // namespace crashtest
