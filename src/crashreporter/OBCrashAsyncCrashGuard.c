#include "OBCrashAsyncCrashGuard.h"

#include <unistd.h>

static int taken;

bool obcrash_async_crash_guard_take(void) { return __atomic_exchange_n(&taken, 1, __ATOMIC_SEQ_CST) == 0; }

void obcrash_async_crash_guard_wait(void) {
    /* pause() could return for a signal this thread handles; the loop keeps it parked. */
    for (;;) pause();
}
