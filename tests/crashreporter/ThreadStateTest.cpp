#include <gtest/gtest.h>

#include <dlfcn.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ForkedChild.h"
#include "crashreporter/OBCrashAsyncThreadState.h"
#include "crashreporter/OBCrashAsyncThreads.h"

namespace {

// The ARM sets are kept for stored states: masking, callee-saved registers and DWARF numbers.
TEST(ThreadState, ArmSetsKeepTheirRules) {
    obcrash_arm_mcontext64_t mcontext{};
    mcontext.ss.pc = 0x000F00010000ABCDull;
    mcontext.ss.x[5] = 0x000F00010000ABCDull;
    obcrash_async_thread_state_t state;
    obcrash_async_thread_state_arm64_mcontext_init(&state, &mcontext);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, 0), 0x10000ABCDull);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, 3 + 5), 0x000F00010000ABCDull);
    EXPECT_EQ(obcrash_async_thread_state_get_reg_count(&state), 34u);
    obcrash_async_thread_state_clear_volatile_regs(&state);
    for (uint32_t r = 0; r < 34; ++r) {
        EXPECT_EQ(obcrash_async_thread_state_has_reg(&state, r), r == 1 || (r >= 22 && r <= 31)) << r;
    }
    obcrash_async_thread_state_set_reg(&state, 33, 0x1234567890ull);
    EXPECT_TRUE(obcrash_async_thread_state_has_reg(&state, 33));
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, 33), 0x34567890ull);
    uint32_t regnum = 0;
    uint64_t dwarf = 0;
    ASSERT_TRUE(obcrash_async_thread_state_map_dwarf_to_reg(&state, 30, &regnum));
    EXPECT_EQ(regnum, 32u);
    EXPECT_FALSE(obcrash_async_thread_state_map_reg_to_dwarf(&state, 0, &dwarf));

    ASSERT_EQ(obcrash_async_thread_state_init(&state, CPU_TYPE_ARM), OBCRASH_OK);
    EXPECT_EQ(obcrash_async_thread_state_get_reg_count(&state), 17u);
    EXPECT_EQ(obcrash_async_thread_state_get_greg_size(&state), 4u);
    obcrash_async_thread_state_set_reg(&state, 10, 0x1FFFFFFFFull);  // r8
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, 10), 0xFFFFFFFFull);
    EXPECT_EQ(state.arm_state.uts.ts_32.r[8], 0xFFFFFFFFu);
    EXPECT_STREQ(obcrash_async_thread_state_get_reg_name(&state, 1), "r7");
    EXPECT_EQ(obcrash_async_thread_state_init(&state, CPU_TYPE_X86), OBCRASH_NOT_SUPPORTED);
}

TEST(ThreadState, X86SetNumbersAndDwarfColumns) {
    obcrash_async_thread_state_t state;
    ASSERT_EQ(obcrash_async_thread_state_init(&state, CPU_TYPE_X86_64), OBCRASH_OK);
    ASSERT_EQ(obcrash_async_thread_state_get_reg_count(&state), 21u);
    const char* names[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                           "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
    const int64_t dwarf[] = {-1, 6, 7, 0, 3, 2, 1, 5, 4, 8, 9, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1};
    for (uint32_t r = 0; r < 21; ++r) {
        EXPECT_STREQ(obcrash_async_thread_state_get_reg_name(&state, r), names[r]);
        uint64_t column = 0;
        EXPECT_EQ(obcrash_async_thread_state_map_reg_to_dwarf(&state, r, &column), dwarf[r] >= 0) << r;
        if (dwarf[r] >= 0) {
            EXPECT_EQ(column, static_cast<uint64_t>(dwarf[r]));
            uint32_t back = 99;
            ASSERT_TRUE(obcrash_async_thread_state_map_dwarf_to_reg(&state, column, &back));
            EXPECT_EQ(back, r);
        }
        obcrash_async_thread_state_set_reg(&state, r, ~0ull);  // nothing is masked
        EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, r), ~0ull);
    }
    obcrash_async_thread_state_clear_volatile_regs(&state);
    EXPECT_EQ(state.valid_regs, (1ull << 1) | (1ull << 4) | (0xFull << 13));
}

struct Captured {
    obcrash_async_thread_state_t state;
    void* context;
};

obcrash_error_t keep(obcrash_async_thread_state_t* state, void* context) {
    auto* captured = static_cast<Captured*>(context);
    obcrash_async_thread_state_copy(&captured->state, state);
    captured->context = context;
    return OBCRASH_NOT_FOUND;
}

struct CallSite {
    uint64_t sp;
    uint64_t rbp;
    obcrash_error_t result;
};

__attribute__((noinline)) CallSite captureHere(Captured* captured) {
    CallSite site;
    __asm__ volatile("movq %%rsp, %0\n\tmovq %%rbp, %1" : "=r"(site.sp), "=r"(site.rbp));
    site.result = obcrash_async_thread_state_current(keep, captured);
    return site;
}

// The capture describes the caller stopped at its call: the return address of that call as pc,
// the caller's stack pointer before the call as sp, every register as it was.
TEST(ThreadState, CurrentThreadCaptureStopsTheCallerAtItsCall) {
    Captured captured{};
    const CallSite site = captureHere(&captured);
    EXPECT_EQ(site.result, OBCRASH_NOT_FOUND);
    EXPECT_EQ(captured.context, &captured);
    const obcrash_async_thread_state_t& state = captured.state;
    EXPECT_EQ(state.valid_regs, (1ull << 21) - 1);
    const uint64_t pc = obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RIP);
    // The instruction before pc is a direct call of the capture routine.
    const auto* code = reinterpret_cast<const uint8_t*>(pc);
    ASSERT_EQ(code[-5], 0xE8);
    int32_t rel;
    std::memcpy(&rel, code - 4, 4);
    EXPECT_EQ(pc + static_cast<int64_t>(rel), reinterpret_cast<uintptr_t>(&obcrash_async_thread_state_current));
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RSP), site.sp);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RBP), site.rbp);
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RDI), reinterpret_cast<uintptr_t>(&keep));
    EXPECT_EQ(obcrash_async_thread_state_get_reg(&state, OBCRASH_X86_64_RSI), reinterpret_cast<uintptr_t>(&captured));
    // ... inside the caller.
    EXPECT_GT(pc, reinterpret_cast<uintptr_t>(&captureHere));
    EXPECT_LT(pc, reinterpret_cast<uintptr_t>(&captureHere) + 256);
}

enum Kind { Futex, Read, Sleep, Spin, Blocked, KindCount };

struct Worker {
    Kind kind;
    std::thread thread;
    std::atomic<pid_t> tid{0};
    uintptr_t stackLow = 0, stackHigh = 0;
    int pipe[2] = {-1, -1};
    char received = 0;
};

constexpr int kPerKind = 6;
constexpr int kMaxThreads = 64;

// What the crash handler saw, in static storage: it runs in a signal handler.
pid_t seenThreads[kMaxThreads];
size_t seenCount;
obcrash_error_t stateResults[kMaxThreads];
obcrash_async_thread_state_t states[kMaxThreads];
uint8_t* faultPage;

void crashHandler(int, siginfo_t*, void*) {
    obcrash_async_task_threads(seenThreads, kMaxThreads, &seenCount);
    const pid_t self = gettid();
    for (size_t i = 0; i < seenCount; ++i) {
        if (seenThreads[i] != self) obcrash_async_thread_suspend(seenThreads[i]);
    }
    obcrash_async_threads_await_suspended(OBCRASH_THREAD_SUSPEND_WAIT_MS);
    for (size_t i = 0; i < seenCount; ++i) {
        stateResults[i] = seenThreads[i] == self
                              ? OBCRASH_INVALID_ARGUMENT
                              : obcrash_async_thread_state_mach_thread_init(&states[i], seenThreads[i]);
    }
    for (size_t i = 0; i < seenCount; ++i) {
        if (seenThreads[i] != self) obcrash_async_thread_resume(seenThreads[i]);
    }
    mprotect(faultPage, getpagesize(), PROT_READ | PROT_WRITE);
}

// A crash stops every other thread wherever it waits, reads where each one stands, and lets them
// all run on; a thread that blocks the stopping signal is listed without a state.
TEST(ThreadSuspension, ACrashStopsEveryThreadAndResumesThem) {
    ASSERT_EQ(obcrash_nasync_threads_setup(), OBCRASH_OK);
    void* library = dlopen(OBCRASH_LOADABLE_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto spin = reinterpret_cast<void (*)(volatile int*)>(dlsym(library, "obcrash_fixture_spin"));
    ASSERT_NE(spin, nullptr);

    uint32_t futexWord = 0;
    volatile int stop = 0;
    std::atomic<int> ready{0};
    std::vector<std::unique_ptr<Worker>> workers;
    for (int k = 0; k < KindCount; ++k) {
        for (int i = 0; i < (k == Blocked ? 1 : kPerKind); ++i) {
            auto w = std::make_unique<Worker>();
            w->kind = static_cast<Kind>(k);
            if (w->kind == Read) {
                ASSERT_EQ(pipe(w->pipe), 0);
            }
            Worker* raw = w.get();
            w->thread = std::thread([raw, &futexWord, &stop, &ready, spin] {
                pthread_attr_t attr;
                pthread_getattr_np(pthread_self(), &attr);
                void* low;
                size_t size;
                pthread_attr_getstack(&attr, &low, &size);
                pthread_attr_destroy(&attr);
                raw->stackLow = reinterpret_cast<uintptr_t>(low);
                raw->stackHigh = raw->stackLow + size;
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, obcrash_async_threads_signal());
                if (raw->kind == Blocked) pthread_sigmask(SIG_BLOCK, &set, nullptr);
                raw->tid = gettid();
                ready.fetch_add(1);
                switch (raw->kind) {
                case Futex:
                    while (__atomic_load_n(&futexWord, __ATOMIC_SEQ_CST) == 0)
                        syscall(SYS_futex, &futexWord, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
                    break;
                case Read:
                    while (read(raw->pipe[0], &raw->received, 1) != 1) {}
                    break;
                case Sleep:
                    while (!stop) {
                        timespec t{0, 20 * 1000 * 1000};
                        nanosleep(&t, nullptr);
                    }
                    break;
                case Spin: spin(&stop); break;
                case Blocked:
                    while (!stop) {}
                    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // the cancelled stop arrives now
                    break;
                case KindCount: break;
                }
            });
            workers.push_back(std::move(w));
        }
    }
    while (ready.load() < static_cast<int>(workers.size())) std::this_thread::yield();
    usleep(100 * 1000);  // let each reach its wait

    faultPage = static_cast<uint8_t*>(mmap(nullptr, getpagesize(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(faultPage, MAP_FAILED);
    struct sigaction action {
    }, previous{};
    action.sa_sigaction = crashHandler;
    action.sa_flags = SA_SIGINFO;
    ASSERT_EQ(sigaction(SIGSEGV, &action, &previous), 0);
    *reinterpret_cast<volatile int*>(faultPage) = 1;
    sigaction(SIGSEGV, &previous, nullptr);

    for (const auto& w : workers) {
        size_t at = seenCount;
        for (size_t i = 0; i < seenCount; ++i) {
            if (seenThreads[i] == w->tid) at = i;
        }
        ASSERT_LT(at, seenCount) << "thread " << w->tid << " not listed";
        if (w->kind == Blocked) {
            EXPECT_EQ(stateResults[at], OBCRASH_INTERNAL);
            continue;
        }
        ASSERT_EQ(stateResults[at], OBCRASH_OK) << "kind " << w->kind;
        const uint64_t rip = obcrash_async_thread_state_get_reg(&states[at], OBCRASH_X86_64_RIP);
        const uint64_t rsp = obcrash_async_thread_state_get_reg(&states[at], OBCRASH_X86_64_RSP);
        EXPECT_GE(rsp, w->stackLow);
        EXPECT_LT(rsp, w->stackHigh);
        Dl_info info{};
        ASSERT_NE(dladdr(reinterpret_cast<void*>(rip), &info), 0) << "kind " << w->kind;
        if (w->kind == Spin) {
            EXPECT_STREQ(info.dli_sname, "obcrash_fixture_spin");
        } else {
            EXPECT_NE(std::string(info.dli_fname).find("libc.so"), std::string::npos)
                << "kind " << w->kind << " " << info.dli_fname;
        }
    }

    // Every thread runs on: each wait is ended the ordinary way, and each thread finishes.
    __atomic_store_n(&futexWord, 1, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &futexWord, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    stop = 1;
    for (const auto& w : workers) {
        if (w->kind == Read) {
            ASSERT_EQ(write(w->pipe[1], "r", 1), 1);
        }
    }
    for (const auto& w : workers) {
        w->thread.join();
        if (w->kind == Read) {
            EXPECT_EQ(w->received, 'r');
            close(w->pipe[0]);
            close(w->pipe[1]);
        }
        EXPECT_FALSE(obcrash_async_thread_is_suspended(w->tid));
    }
    munmap(faultPage, getpagesize());
    dlclose(library);
}

// Threads use the stopping layer first at the same moment, each to stop a thread of its own: it is
// set up once, so each stopped thread is found parked and runs on when it is let go. Each run is a
// new process (a death test runs the program anew), where the layer is not set up yet.
TEST(ThreadSuspension, FirstUseFromManyThreadsAtOnceSetsUpOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr int kUsers = 16;
    const auto firstUse = [] {
        // A thread parked where nobody can find it keeps the process from ending: SIGALRM ends it.
        alarm(crashtest::deadline(10));
        std::atomic<bool> stop{false};
        std::atomic<pid_t> targetTids[kUsers] = {};
        std::vector<std::thread> targets;
        for (auto& tid : targetTids)
            targets.emplace_back([&] {
                tid = gettid();
                while (!stop) usleep(1000);
            });
        for (const auto& tid : targetTids)
            while (tid == 0) usleep(1000);
        std::atomic<int> waiting{kUsers};
        std::atomic<bool> failed{false};
        std::vector<std::thread> users;
        for (const auto& tid : targetTids)
            users.emplace_back([&] {
                // Spun rather than waited for, so that all start within a few instructions.
                waiting.fetch_sub(1);
                while (waiting.load() > 0) {}
                bool held = obcrash_nasync_threads_setup() == OBCRASH_OK;
                held = held && obcrash_async_thread_suspend(tid) == OBCRASH_OK;
                obcrash_async_threads_await_suspended(2000);
                held = held && obcrash_async_thread_is_suspended(tid);
                held = held && obcrash_async_thread_resume(tid) == OBCRASH_OK;
                if (!held) failed = true;
            });
        for (auto& user : users) user.join();
        stop = true;
        for (auto& target : targets) target.join();
        _exit(failed ? 1 : 0);
    };
    for (int run = 0; run < 50; ++run) EXPECT_EXIT(firstUse(), ::testing::ExitedWithCode(0), "") << "run " << run;
}

}  // namespace
