#pragma once
// One crash per process writes. Two threads may crash at once, by a signal or through the
// exception server; both would write the one report file through the one writer and each would
// stop the other. The first to take the guard writes; every later one writes nothing and waits
// for the process to end. Async-signal-safe.
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* True for the first caller in the life of the process, false for every later one. */
bool obcrash_async_crash_guard_take(void);

/* Never returns: sleeps until the crash that took the guard ends the process. */
__attribute__((noreturn)) void obcrash_async_crash_guard_wait(void);

#ifdef __cplusplus
}
#endif
