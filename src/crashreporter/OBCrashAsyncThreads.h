#pragma once
// Listing, stopping and resuming the other threads of this process at crash time. A thread is
// stopped by a real-time signal whose handler saves the thread's registers in a slot of a table
// made at set-up and parks on a futex until it is resumed. A thread that cannot take the signal
// (it blocks it, say) does not park; it is then listed without a state. After set-up nothing
// here allocates or locks.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "OBCrashAsync.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How long a crash waits for the threads it signalled to park. */
#define OBCRASH_THREAD_SUSPEND_WAIT_MS 500

/* Makes the slot table and installs the stopping signal's handler. Once per process, on ordinary
 * threads (never in a signal handler); callers that come while another sets up wait for it, later
 * calls do nothing. */
obcrash_error_t obcrash_nasync_threads_setup(void);

/* The right to stop the other threads, which one report at a time holds: two that stopped each
 * other would both stay stopped. A report the user asked for (`crash` false) waits while another
 * holds it, and gets OBCRASH_ACCESS_DENIED once a crash wants it. A crash takes no lock: it takes
 * the right over from a report of its own thread or of `crashed_thread`, and from any other once
 * that has had time to give up. Every OBCRASH_OK is followed by obcrash_async_threads_stop_end on
 * the same thread. */
obcrash_error_t obcrash_async_threads_stop_begin(bool crash, ob_thread_t crashed_thread);
void obcrash_async_threads_stop_end(void);

/* The signal that stops threads, for callers that must leave it unblocked. */
int obcrash_async_threads_signal(void);

/* The threads of this process, in the kernel's order. At most `capacity` are stored; `count`
 * receives how many there are (it can exceed `capacity`). */
obcrash_error_t obcrash_async_task_threads(ob_thread_t* threads, size_t capacity, size_t* count);

/* Asks a thread to stop. OBCRASH_NOT_FOUND when it has exited, OBCRASH_NO_MEMORY when every slot is
 * taken, OBCRASH_INVALID_ARGUMENT for the calling thread, OBCRASH_ACCESS_DENIED when a crash of
 * another thread wants the threads: the caller then lets go of those it stopped. */
obcrash_error_t obcrash_async_thread_suspend(ob_thread_t thread);

/* Waits until every thread asked to stop has parked, or until `timeout_ms` has passed; true when
 * all have parked. */
bool obcrash_async_threads_await_suspended(uint32_t timeout_ms);

/* Whether the thread is parked with its registers saved. */
bool obcrash_async_thread_is_suspended(ob_thread_t thread);

/* Lets a stopped thread run on. A thread that had not parked yet returns from the handler at once
 * when the signal reaches it. */
obcrash_error_t obcrash_async_thread_resume(ob_thread_t thread);

/* The saved registers of a parked thread, as the signal handler found them. */
const void* obcrash_async_thread_saved_context(ob_thread_t thread);

/* Marks the calling thread as held in an exception, stopped with the registers of `context` (a
 * ucontext_t), until it releases the hold: the state call and the suspend calls treat it as a
 * parked thread. A thread that was stopping the others lets them go first. */
obcrash_error_t obcrash_async_thread_hold(const void* context);
void obcrash_async_thread_release_hold(void);

#ifdef __cplusplus
}
#endif
