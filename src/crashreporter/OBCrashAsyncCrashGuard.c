#define _GNU_SOURCE
#include "OBCrashAsyncCrashGuard.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "OBCrashAsync.h"

static int taken;
static int holder;
static int crash_signal;

bool obcrash_async_crash_guard_take(int signo) {
    if (__atomic_exchange_n(&taken, 1, __ATOMIC_SEQ_CST) != 0) return false;
    __atomic_store_n(&crash_signal, signo, __ATOMIC_SEQ_CST);
    __atomic_store_n(&holder, gettid(), __ATOMIC_SEQ_CST);
    return true;
}

bool obcrash_async_crash_guard_is_holder(void) { return __atomic_load_n(&holder, __ATOMIC_SEQ_CST) == gettid(); }

void obcrash_async_crash_guard_wait(void) {
    /* pause() could return for a signal this thread handles; the loop keeps it parked. */
    for (;;) pause();
}

void obcrash_async_crash_guard_end_process(int signo) {
    const int crash = __atomic_load_n(&crash_signal, __ATOMIC_SEQ_CST);
    const int end = crash != 0 ? crash : signo;
    struct sigaction action;
    obcrash_async_memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(end, &action, NULL);
    /* Sent to this thread, which may block the signal while it handles it: unblocking it delivers
     * the pending signal before sigprocmask returns. */
    syscall(SYS_tgkill, getpid(), gettid(), end);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, end);
    sigprocmask(SIG_UNBLOCK, &unblock, NULL);
    /* Only a signal whose default action is not to end the process gets here. */
    syscall(SYS_tgkill, getpid(), gettid(), SIGKILL);
    for (;;) pause();
}
