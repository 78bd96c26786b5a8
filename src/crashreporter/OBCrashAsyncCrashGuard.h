#pragma once
// One crash per process writes. Two threads may crash at once, by a signal or through the
// exception server; both would write the one report file through the one writer and each would
// stop the other. The first to take the guard writes; every later one writes nothing and waits
// for the process to end. A fault of the thread that holds the guard (in the writer or in a crash
// callback) can be handled by nobody: it ends the process by the crash's own signal. All of it is
// async-signal-safe.
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* True for the first caller in the life of the process, false for every later one. The first
 * becomes the holder, and `signo` the signal the process ends by. */
bool obcrash_async_crash_guard_take(int signo);

/* Whether the calling thread holds the guard. */
bool obcrash_async_crash_guard_is_holder(void);

/* Never returns: sleeps until the crash that took the guard ends the process. */
__attribute__((noreturn)) void obcrash_async_crash_guard_wait(void);

/* Never returns: ends the process at once by the signal of the crash that took the guard, or by
 * `signo` when none has, with that signal's default action. The report being written may be cut
 * short; one already closed stays whole. */
__attribute__((noreturn)) void obcrash_async_crash_guard_end_process(int signo);

#ifdef __cplusplus
}
#endif
