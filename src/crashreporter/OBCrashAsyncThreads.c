#define _GNU_SOURCE
#include "OBCrashAsyncThreads.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include "OBCrashAsyncThreadState.h"

#define SLOT_COUNT 1024

/* A slot's life: FREE -> REQUESTED (a suspend claimed it and sent the signal) -> PARKED (the
 * handler saved the context and waits) -> RESUMED (the handler leaves and frees the slot). A
 * resume before the handler ran turns REQUESTED into CANCELLED; the handler then frees the slot
 * without parking. A CANCELLED slot whose signal never arrives is taken again by the next suspend
 * of the same thread. A thread held in an exception owns a HELD slot from its hold to its release:
 * it counts as stopped, and suspending or resuming it changes nothing. */
enum { SLOT_FREE = 0, SLOT_REQUESTED = 1, SLOT_PARKED = 2, SLOT_RESUMED = 3, SLOT_CANCELLED = 4, SLOT_HELD = 5 };

typedef struct {
    int32_t tid;
    /* The futex word. */
    uint32_t state;
    ucontext_t context;
} thread_slot_t;

static thread_slot_t* slots;
static int stop_signal;

/* Set-up runs once, whichever threads use the layer first. */
enum { SETUP_NONE = 0, SETUP_RUNNING = 1, SETUP_DONE = 2 };
static uint32_t setup_state;

/* One report stops the other threads at a time: `stopper` is the thread doing so (0: none).
 * `crash_stopper` is a crash's thread that stops them or waits to; while it is set, no report the
 * user asked for may stop anything. */
static uint32_t stopper;
static uint32_t crash_stopper;

static uint32_t load_state(const thread_slot_t* slot) { return __atomic_load_n(&slot->state, __ATOMIC_SEQ_CST); }

static bool swap_state(thread_slot_t* slot, uint32_t expected, uint32_t desired) {
    return __atomic_compare_exchange_n(&slot->state, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

/* Wakes every waiter: a slot's word is waited on by the parked thread and by whoever awaits it, and
 * waking only one could wake the wrong one. */
static void futex_wake(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT32_MAX, NULL, NULL, 0); }

/* Waits while `*word` holds `value`, at most `ms` milliseconds (no limit for 0); may return
 * early. */
static void futex_wait(uint32_t* word, uint32_t value, uint32_t ms) {
    struct timespec timeout = {(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, ms != 0 ? &timeout : NULL, NULL, 0);
}

static uint64_t now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

static thread_slot_t* find_slot(ob_thread_t thread) {
    if (slots == NULL) return NULL;
    for (size_t i = 0; i < SLOT_COUNT; ++i) {
        if (__atomic_load_n(&slots[i].tid, __ATOMIC_SEQ_CST) == thread && load_state(&slots[i]) != SLOT_FREE)
            return &slots[i];
    }
    return NULL;
}

static void release_slot(thread_slot_t* slot) {
    __atomic_store_n(&slot->tid, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&slot->state, SLOT_FREE, __ATOMIC_SEQ_CST);
}

static void park_handler(int signal, siginfo_t* info, void* context) {
    (void)signal;
    (void)info;
    const int saved_errno = errno;
    thread_slot_t* slot = find_slot(gettid());
    if (slot != NULL) {
        if (load_state(slot) == SLOT_REQUESTED) {
            obcrash_async_memcpy(&slot->context, context, sizeof(slot->context));
            if (swap_state(slot, SLOT_REQUESTED, SLOT_PARKED)) {
                futex_wake(&slot->state);
                while (load_state(slot) == SLOT_PARKED) {
                    syscall(SYS_futex, &slot->state, FUTEX_WAIT_PRIVATE, SLOT_PARKED, NULL, NULL, 0);
                }
            }
        }
        /* Resumed, or cancelled before the signal arrived. */
        release_slot(slot);
    }
    errno = saved_errno;
}

/* The once is a state word rather than pthread_once: it costs no lock, and nothing that runs in a
 * signal handler ever waits on it. Set-up is never called from a handler, so the only thread a
 * caller can wait for here is another one that is running set-up, which calls nothing but mmap and
 * sigaction and so cannot wait in turn. */
obcrash_error_t obcrash_nasync_threads_setup(void) {
    for (;;) {
        uint32_t state = __atomic_load_n(&setup_state, __ATOMIC_SEQ_CST);
        if (state == SETUP_DONE) return OBCRASH_OK;
        if (state == SETUP_NONE &&
            __atomic_compare_exchange_n(&setup_state, &state, SETUP_RUNNING, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
        if (state == SETUP_RUNNING) futex_wait(&setup_state, SETUP_RUNNING, 0);
    }
    obcrash_error_t result = OBCRASH_OK;
    void* table =
        mmap(NULL, sizeof(thread_slot_t) * SLOT_COUNT, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (table == MAP_FAILED) {
        result = OBCRASH_NO_MEMORY;
    } else {
        /* glibc keeps the first real-time signals for itself; SIGRTMIN already skips them. */
        const int signal = SIGRTMIN + 3;
        struct sigaction action;
        obcrash_async_memset(&action, 0, sizeof(action));
        action.sa_sigaction = park_handler;
        action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
        /* Everything else stays deliverable: a crash in a parked thread must still reach its handler. */
        sigemptyset(&action.sa_mask);
        if (sigaction(signal, &action, NULL) != 0) {
            munmap(table, sizeof(thread_slot_t) * SLOT_COUNT);
            result = OBCRASH_INTERNAL;
        } else {
            stop_signal = signal;
            __atomic_store_n(&slots, (thread_slot_t*)table, __ATOMIC_SEQ_CST);
        }
    }
    /* A failed set-up leaves the next caller to try again. */
    __atomic_store_n(&setup_state, result == OBCRASH_OK ? SETUP_DONE : SETUP_NONE, __ATOMIC_SEQ_CST);
    futex_wake(&setup_state);
    return result;
}

obcrash_error_t obcrash_async_threads_stop_begin(bool crash, ob_thread_t crashed_thread) {
    const uint32_t self = (uint32_t)gettid();
    if (!crash) {
        for (;;) {
            if (__atomic_load_n(&crash_stopper, __ATOMIC_SEQ_CST) != 0) return OBCRASH_ACCESS_DENIED;
            uint32_t current = 0;
            if (__atomic_compare_exchange_n(&stopper, &current, self, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
                /* A crash that came meanwhile has them first. */
                if (__atomic_load_n(&crash_stopper, __ATOMIC_SEQ_CST) == 0) return OBCRASH_OK;
                obcrash_async_threads_stop_end();
                return OBCRASH_ACCESS_DENIED;
            }
            if (current == self) return OBCRASH_ACCESS_DENIED;
            futex_wait(&stopper, current, 0);
        }
    }
    __atomic_store_n(&crash_stopper, self, __ATOMIC_SEQ_CST);
    /* A report the user asked for gives up at its next step once it sees the crash; should it not
     * (it is writing already), the crash takes the threads after this long all the same. */
    const uint64_t deadline = now_ms() + 4u * OBCRASH_THREAD_SUSPEND_WAIT_MS;
    for (;;) {
        uint32_t current = 0;
        if (__atomic_compare_exchange_n(&stopper, &current, self, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return OBCRASH_OK;
        /* The crashed thread's own report stops nothing any more: the crash takes over. */
        if (current == self || current == (uint32_t)crashed_thread || now_ms() >= deadline) {
            __atomic_store_n(&stopper, self, __ATOMIC_SEQ_CST);
            return OBCRASH_OK;
        }
        futex_wait(&stopper, current, 10);
    }
}

void obcrash_async_threads_stop_end(void) {
    uint32_t self = (uint32_t)gettid();
    uint32_t expected = self;
    __atomic_compare_exchange_n(&crash_stopper, &expected, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    expected = self;
    if (__atomic_compare_exchange_n(&stopper, &expected, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        futex_wake(&stopper);
}

int obcrash_async_threads_signal(void) { return stop_signal; }

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

obcrash_error_t obcrash_async_task_threads(ob_thread_t* threads, size_t capacity, size_t* count) {
    const int saved_errno = errno;
    const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        errno = saved_errno;
        return OBCRASH_INTERNAL;
    }
    size_t found = 0;
    obcrash_error_t result = OBCRASH_OK;
    char buffer[2048] __attribute__((aligned(8)));
    for (;;) {
        const long n = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result = OBCRASH_INTERNAL;
            break;
        }
        for (long offset = 0; offset < n;) {
            const struct linux_dirent64* entry = (const struct linux_dirent64*)(buffer + offset);
            offset += entry->d_reclen;
            const char* c = entry->d_name;
            if (*c < '0' || *c > '9') continue;
            int64_t tid = 0;
            for (; *c >= '0' && *c <= '9' && tid < INT32_MAX; ++c) tid = tid * 10 + (*c - '0');
            if (*c != '\0' || tid > INT32_MAX) continue;
            if (found < capacity) threads[found] = (ob_thread_t)tid;
            ++found;
        }
    }
    close(fd);
    errno = saved_errno;
    *count = found;
    return result;
}

obcrash_error_t obcrash_async_thread_suspend(ob_thread_t thread) {
    if (slots == NULL) return OBCRASH_INTERNAL;
    if (thread == gettid()) return OBCRASH_INVALID_ARGUMENT;
    const uint32_t crash = __atomic_load_n(&crash_stopper, __ATOMIC_SEQ_CST);
    if (crash != 0 && crash != (uint32_t)gettid()) return OBCRASH_ACCESS_DENIED;
    thread_slot_t* slot = find_slot(thread);
    if (slot != NULL) {
        /* Still parked, or waiting for a signal that was cancelled: take that one. */
        const uint32_t state = load_state(slot);
        if (state == SLOT_PARKED || state == SLOT_REQUESTED || state == SLOT_HELD) return OBCRASH_OK;
        if (!swap_state(slot, SLOT_CANCELLED, SLOT_REQUESTED)) slot = NULL;
    }
    for (size_t i = 0; slot == NULL && i < SLOT_COUNT; ++i) {
        int32_t expected = 0;
        if (load_state(&slots[i]) == SLOT_FREE &&
            __atomic_compare_exchange_n(&slots[i].tid, &expected, thread, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            slot = &slots[i];
            __atomic_store_n(&slot->state, SLOT_REQUESTED, __ATOMIC_SEQ_CST);
        }
    }
    if (slot == NULL) return OBCRASH_NO_MEMORY;
    const int saved_errno = errno;
    const long sent = syscall(SYS_tgkill, getpid(), thread, stop_signal);
    const int send_errno = errno;
    errno = saved_errno;
    if (sent != 0) {
        release_slot(slot);
        return send_errno == ESRCH ? OBCRASH_NOT_FOUND : OBCRASH_INTERNAL;
    }
    return OBCRASH_OK;
}

bool obcrash_async_threads_await_suspended(uint32_t timeout_ms) {
    if (slots == NULL) return true;
    const uint64_t deadline = now_ms() + timeout_ms;
    for (size_t i = 0; i < SLOT_COUNT; ++i) {
        thread_slot_t* slot = &slots[i];
        while (load_state(slot) == SLOT_REQUESTED) {
            const uint64_t now = now_ms();
            if (now >= deadline) return false;
            const uint64_t left = deadline - now;
            const uint64_t wait = left < 10 ? left : 10;
            struct timespec timeout = {0, (long)(wait * 1000000u)};
            /* A short wait: the thread may park between the check and the wait, and a thread that
             * exits never wakes anybody. */
            syscall(SYS_futex, &slot->state, FUTEX_WAIT_PRIVATE, SLOT_REQUESTED, &timeout, NULL, 0);
        }
    }
    return true;
}

bool obcrash_async_thread_is_suspended(ob_thread_t thread) {
    const thread_slot_t* slot = find_slot(thread);
    return slot != NULL && (load_state(slot) == SLOT_PARKED || load_state(slot) == SLOT_HELD);
}

obcrash_error_t obcrash_async_thread_resume(ob_thread_t thread) {
    thread_slot_t* slot = find_slot(thread);
    if (slot == NULL) return OBCRASH_NOT_FOUND;
    if (swap_state(slot, SLOT_PARKED, SLOT_RESUMED)) {
        futex_wake(&slot->state);
        return OBCRASH_OK;
    }
    swap_state(slot, SLOT_REQUESTED, SLOT_CANCELLED);
    return OBCRASH_OK;
}

const void* obcrash_async_thread_saved_context(ob_thread_t thread) {
    const thread_slot_t* slot = find_slot(thread);
    if (slot == NULL || (load_state(slot) != SLOT_PARKED && load_state(slot) != SLOT_HELD)) return NULL;
    return &slot->context;
}

obcrash_error_t obcrash_async_thread_hold(const void* context) {
    if (slots == NULL) return OBCRASH_INTERNAL;
    const ob_thread_t self = gettid();
    /* A thread held while it stops the others lets them go: the one that handles its exception may
     * be among them, and may need to stop them itself. */
    if (__atomic_load_n(&stopper, __ATOMIC_SEQ_CST) == (uint32_t)self) {
        for (size_t i = 0; i < SLOT_COUNT; ++i) {
            if (swap_state(&slots[i], SLOT_PARKED, SLOT_RESUMED))
                futex_wake(&slots[i].state);
            else
                swap_state(&slots[i], SLOT_REQUESTED, SLOT_CANCELLED);
        }
    }
    for (size_t i = 0; i < SLOT_COUNT; ++i) {
        int32_t expected = 0;
        if (load_state(&slots[i]) == SLOT_FREE &&
            __atomic_compare_exchange_n(&slots[i].tid, &expected, self, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            obcrash_async_memcpy(&slots[i].context, context, sizeof(slots[i].context));
            __atomic_store_n(&slots[i].state, SLOT_HELD, __ATOMIC_SEQ_CST);
            return OBCRASH_OK;
        }
    }
    return OBCRASH_NO_MEMORY;
}

void obcrash_async_thread_release_hold(void) {
    if (slots == NULL) return;
    const ob_thread_t self = gettid();
    for (size_t i = 0; i < SLOT_COUNT; ++i) {
        if (__atomic_load_n(&slots[i].tid, __ATOMIC_SEQ_CST) == self && load_state(&slots[i]) == SLOT_HELD) {
            release_slot(&slots[i]);
            return;
        }
    }
}

obcrash_error_t obcrash_async_thread_state_mach_thread_init(obcrash_async_thread_state_t* state, ob_thread_t thread) {
    const ucontext_t* context = obcrash_async_thread_saved_context(thread);
    if (context == NULL) return OBCRASH_INTERNAL;
    obcrash_async_thread_state_mcontext_init(state, context);
    return OBCRASH_OK;
}
