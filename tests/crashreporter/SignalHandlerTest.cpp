#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ForkedChild.h"
#include "crashreporter/OBCrashAsyncCrashGuard.h"
#include "crashreporter/OBCrashSignalHandler.h"

using namespace obcrash;
using crashtest::report;
using crashtest::runInChild;

namespace {

void restoreDefault(int signo) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signo, &action, nullptr);
}

bool forwardingCallback(int signo, siginfo_t* info, ucontext_t* uap, void*, const OBCrashSignalHandlerCallback* next) {
    report("cb;");
    const bool handled = OBCrashSignalHandlerForward(next, signo, info, uap);
    // As the crash callback does: an unhandled signal, raised again, meets the default action.
    if (!handled) restoreDefault(signo);
    return handled;
}

void previousSiginfoHandler(int signo, siginfo_t* info, void* uap) {
    report(signo == SIGUSR1 && info != nullptr && info->si_code == SI_TKILL && uap != nullptr ? "prev-all-args;"
                                                                                              : "prev-bad-args;");
}

void registerOrDie(int signo, OBCrashSignalHandlerCallbackFunc callback) {
    OBCrashReporterError error;
    if (!OBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, callback, nullptr, &error)) _exit(4);
}

}  // namespace

// The chain runs every callback before the forwarder, which hands the signal to the action saved
// at registration: a three-argument handler is called with all its arguments, an ignored signal is
// handled without a call, a default action lets the shared handler raise the signal again.
TEST(SignalHandlerTest, ChainEndsInTheSavedAction) {
    auto siginfoChild = runInChild([] {
        struct sigaction previous {};
        previous.sa_sigaction = previousSiginfoHandler;
        previous.sa_flags = SA_SIGINFO;
        sigaction(SIGUSR1, &previous, nullptr);
        // Twice: one installed action, one saved action, the callback twice in the chain.
        registerOrDie(SIGUSR1, forwardingCallback);
        registerOrDie(SIGUSR1, forwardingCallback);
        raise(SIGUSR1);
        report("survived;");
    });
    EXPECT_TRUE(siginfoChild.exitedCleanly());
    EXPECT_EQ(siginfoChild.reported, "cb;cb;prev-all-args;survived;");

    auto ignoredChild = runInChild([] {
        signal(SIGUSR2, SIG_IGN);
        registerOrDie(SIGUSR2, forwardingCallback);
        raise(SIGUSR2);
        report("survived;");
    });
    EXPECT_TRUE(ignoredChild.exitedCleanly());
    EXPECT_EQ(ignoredChild.reported, "cb;survived;");

    auto defaultChild = runInChild([] {
        registerOrDie(SIGSEGV, forwardingCallback);
        raise(SIGSEGV);
        report("survived;");
    });
    EXPECT_TRUE(defaultChild.killedBy(SIGSEGV)) << defaultChild.status;
    EXPECT_EQ(defaultChild.reported, "cb;");

    // A registration that fails leaves the registration lock free for the next one.
    auto failedChild = runInChild([] {
        OBCrashReporterError error;
        if (OBCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGKILL, &error)) report("killable;");
        if (error.description == "Failed to register signal handler" && error.underlyingCode == EINVAL)
            report("refused;");
        registerOrDie(SIGUSR1, forwardingCallback);
        report("next;");
    });
    EXPECT_TRUE(failedChild.exitedCleanly());
    EXPECT_EQ(failedChild.reported, "refused;next;");
}

namespace {

bool onAlternateStack(int signo, siginfo_t*, ucontext_t*, void*, const OBCrashSignalHandlerCallback*) {
    stack_t current;
    sigaltstack(nullptr, &current);
    report((current.ss_flags & SS_ONSTACK) != 0 ? "on-alternate-stack;" : "on-own-stack;");
    restoreDefault(signo);
    return false;
}

volatile bool keepRecursing = true;

int recurse(int depth) {
    if (!keepRecursing) return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return recurse(depth + 1) + frame[0];
}

void lateFault() {
    report("exit-handler;");
    crashtest::badAccess();
}

}  // namespace

// A thread whose stack has run out still reaches the callback, on the alternate stack of the
// thread that registered.
TEST(SignalHandlerTest, StackOverflowReachesTheCallbackOnTheAlternateStack) {
    auto child = runInChild([] {
        registerOrDie(SIGSEGV, onAlternateStack);
        recurse(0);
    });
    EXPECT_TRUE(child.killedBy(SIGSEGV)) << child.status;
    EXPECT_EQ(child.reported, "on-alternate-stack;");
}

// The handlers stay installed until the process ends, so their lists must too: a fault in a
// handler that runs at exit, after every static destructor registered later, still finds them.
TEST(SignalHandlerTest, HandlersWorkDuringExit) {
    auto child = runInChild([] {
        std::atexit(lateFault);
        registerOrDie(SIGSEGV, onAlternateStack);
        std::exit(0);
    });
    EXPECT_TRUE(child.killedBy(SIGSEGV)) << child.status;
    EXPECT_EQ(child.reported, "exit-handler;on-alternate-stack;");
}

namespace {

std::atomic<int> losers{0};

bool guardedCallback(int signo, siginfo_t*, ucontext_t*, void*, const OBCrashSignalHandlerCallback*) {
    if (!obcrash_async_crash_guard_take(signo)) {
        report("L");
        losers.fetch_add(1);
        obcrash_async_crash_guard_wait();
    }
    // The one writer: it waits for the others to arrive, so that all of them crash while it writes.
    for (int i = 0; i < 200 && losers.load() < 7; ++i) usleep(10000);
    report("W");
    restoreDefault(signo);
    return false;
}

}  // namespace

// Eight threads crash at once: one writes, the others wait, and the process ends by the signal.
TEST(SignalHandlerTest, OneOfManyCrashingThreadsWrites) {
    auto child = runInChild([] {
        registerOrDie(SIGSEGV, guardedCallback);
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, 8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&start] {
                pthread_barrier_wait(&start);
                crashtest::badAccess();
            });
        }
        for (auto& thread : threads) thread.join();
    });
    EXPECT_TRUE(child.killedBy(SIGSEGV)) << child.status;
    EXPECT_EQ(std::count(child.reported.begin(), child.reported.end(), 'W'), 1) << child.reported;
    EXPECT_EQ(std::count(child.reported.begin(), child.reported.end(), 'L'), 7) << child.reported;
}
