#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/OBCrashAsyncFrameWalker.h"
#include "crashreporter/OBCrashAsyncThreads.h"
#include "UnwindTestSupport.h"
#include "support/ChildProcess.h"

namespace {

// Every object loaded now, as the crash reporter lists them.
struct LoadedImages {
    LoadedImages() {
        obcrash_nasync_image_list_init(&list, ob_mach_task_self());
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* context) {
                obcrash_nasync_image_list_append_elf(static_cast<obcrash_async_image_list_t*>(context), info, nullptr);
                return 0;
            },
            &list);
    }
    ~LoadedImages() { obcrash_nasync_image_list_free(&list); }
    obcrash_async_image_list_t list;
};

constexpr size_t kMaxFrames = 128;

struct Walk {
    obcrash_async_image_list_t* images = nullptr;
    uint64_t pcs[kMaxFrames];
    size_t count = 0;
    obframe_error_t end = OBFRAME_ESUCCESS;
};

void walkFrom(obframe_cursor_t* cursor, Walk* walk, const obframe_cursor_frame_reader_t* readers = nullptr,
              size_t readerCount = 0) {
    walk->count = 0;
    const auto step = [&] {
        return readers == nullptr ? obframe_cursor_next(cursor)
                                  : obframe_cursor_next_with_readers(cursor, readers, readerCount);
    };
    while (walk->count < kMaxFrames && (walk->end = step()) == OBFRAME_ESUCCESS) {
        obframe_cursor_get_reg(cursor, 0, &walk->pcs[walk->count++]);
    }
    obframe_cursor_free(cursor);
}

obcrash_error_t walkCurrent(obcrash_async_thread_state_t* state, void* context) {
    Walk* walk = static_cast<Walk*>(context);
    obframe_cursor_t cursor;
    obframe_cursor_init(&cursor, ob_mach_task_self(), state, walk->images);
    walkFrom(&cursor, walk);
    return OBCRASH_OK;
}

std::string symbolAt(uint64_t address) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_sname == nullptr) return "?";
    return info.dli_sname;
}

// The callers' return addresses match the C library's unwinder, frame by frame, to the end of its
// trace. The trace's first frames are the function that took it (and, in a sanitized build, the
// sanitizer's own wrapper); the walk's frame `walkFrom` is that function's caller.
void expectCallersMatch(const Walk& walk, size_t walkFrom, void* const* trace, int traceCount) {
    ASSERT_LT(walkFrom, walk.count);
    int first = 1;
    while (first < 3 && first < traceCount && reinterpret_cast<uint64_t>(trace[first]) != walk.pcs[walkFrom]) ++first;
    ASSERT_LT(first, 3) << "the trace never reaches the walk's frame " << walkFrom;
    ASSERT_GE(walk.count, walkFrom + static_cast<size_t>(traceCount - first));
    for (int i = first; i < traceCount; ++i) {
        EXPECT_EQ(walk.pcs[walkFrom + i - first], reinterpret_cast<uint64_t>(trace[i])) << "trace frame " << i;
    }
}

// What a walk that ends in a jump back to the test saw; in static storage, for signal handlers.
struct Capture {
    Walk walk;
    void* trace[kMaxFrames];
    int traceCount = 0;
    sigjmp_buf back;
};
Capture capture;

[[noreturn]] void traceAndWalkHere(volatile char* = nullptr) {
    capture.traceCount = backtrace(capture.trace, kMaxFrames);
    obcrash_async_thread_state_current(walkCurrent, &capture.walk);
    siglongjmp(capture.back, 1);
}

// Runs `code` with `handler` taking SIGSEGV, until the handler jumps back.
template <typename Code>
void withFaultHandler(void (*handler)(int, siginfo_t*, void*), Code code) {
    struct sigaction action = {}, previous = {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &action, &previous), 0);
    if (sigsetjmp(capture.back, 1) == 0) code();
    sigaction(SIGSEGV, &previous, nullptr);
}

}  // namespace

// A function whose last instruction calls a function that never returns leaves a return address
// in the next function; its frame and its callers' are still found, as the C library finds them.
TEST(FrameWalker, CallersOfANoReturnCallAreFoundOnTheCurrentThread) {
    void* library = dlopen(OBCRASH_FRAMES_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    using Stop = void (*)(volatile char*);
    auto callLast = reinterpret_cast<void (*)(Stop)>(dlsym(library, "obcrash_fixture_call_last"));
    const auto after = reinterpret_cast<uint64_t>(dlsym(library, "obcrash_fixture_load_first"));
    ASSERT_TRUE(callLast != nullptr && after != 0);

    LoadedImages images;
    capture.walk.images = &images.list;
    if (sigsetjmp(capture.back, 0) == 0) callLast(traceAndWalkHere);

    const Walk& walk = capture.walk;
    ASSERT_GE(walk.count, 4u);
    // Frame 0 is in traceAndWalkHere, frame 1 the return address the fixture's last call left.
    EXPECT_EQ(walk.pcs[1], after) << "the fixture no longer ends with its call";
    EXPECT_EQ(symbolAt(walk.pcs[2] - 1), "obcrash_fixture_call_last");
    expectCallersMatch(walk, 1, capture.trace, capture.traceCount);
    EXPECT_EQ(walk.end, OBFRAME_ENOFRAME);
    dlclose(library);
}

// From inside a signal handler the walk passes the signal frame into the faulting function, whose
// pc is exact: a fault on a function's first instruction still unwinds by that function's rules.
TEST(FrameWalker, AHandlerWalksThroughItsSignalFrameIntoTheFault) {
    void* library = dlopen(OBCRASH_FRAMES_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto callLoadFirst = reinterpret_cast<int (*)(volatile int*)>(dlsym(library, "obcrash_fixture_call_load_first"));
    const auto loadFirst = reinterpret_cast<uint64_t>(dlsym(library, "obcrash_fixture_load_first"));
    ASSERT_TRUE(callLoadFirst != nullptr && loadFirst != 0);

    LoadedImages images;
    capture.walk.images = &images.list;
    withFaultHandler([](int, siginfo_t*, void*) { traceAndWalkHere(); }, [&] { callLoadFirst(nullptr); });

    const Walk& walk = capture.walk;
    size_t faulting = 0;
    while (faulting < walk.count && walk.pcs[faulting] != loadFirst) ++faulting;
    ASSERT_LT(faulting + 1, walk.count) << "no frame at the faulting instruction";
    EXPECT_EQ(symbolAt(walk.pcs[faulting + 1] - 1), "obcrash_fixture_call_load_first");
    expectCallersMatch(walk, 1, capture.trace, capture.traceCount);
    dlclose(library);
}

namespace {

__attribute__((noinline)) void waitInFixture(void (*spin)(volatile int*), volatile int* stop, void** trace,
                                             std::atomic<int>* traceCount, std::atomic<pid_t>* tid) {
    traceCount->store(backtrace(trace, kMaxFrames));
    tid->store(gettid());
    spin(stop);
    asm volatile("");  // keeps the call above from becoming a jump
}

}  // namespace

// Another thread, stopped wherever it spins, is walked from its saved registers.
TEST(FrameWalker, AStoppedThreadIsWalkedToItsStart) {
    ASSERT_EQ(obcrash_nasync_threads_setup(), OBCRASH_OK);
    void* library = dlopen(OBCRASH_LOADABLE_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto spin = reinterpret_cast<void (*)(volatile int*)>(dlsym(library, "obcrash_fixture_spin"));
    ASSERT_NE(spin, nullptr);

    volatile int stop = 0;
    void* trace[kMaxFrames];
    std::atomic<int> traceCount{0};
    std::atomic<pid_t> tid{0};
    std::thread waiter(waitInFixture, spin, &stop, trace, &traceCount, &tid);
    while (tid.load() == 0) std::this_thread::yield();
    usleep(10000);

    LoadedImages images;
    Walk walk;
    ASSERT_EQ(obcrash_async_thread_suspend(tid.load()), OBCRASH_OK);
    ASSERT_TRUE(obcrash_async_threads_await_suspended(OBCRASH_THREAD_SUSPEND_WAIT_MS));
    obframe_cursor_t cursor;
    const obcrash_error_t init = obframe_cursor_thread_init(&cursor, ob_mach_task_self(), tid.load(), &images.list);
    if (init == OBCRASH_OK) walkFrom(&cursor, &walk);
    obcrash_async_thread_resume(tid.load());
    stop = 1;
    waiter.join();

    ASSERT_EQ(init, OBCRASH_OK);
    ASSERT_GE(walk.count, 3u);
    EXPECT_EQ(symbolAt(walk.pcs[0]), "obcrash_fixture_spin");
    // Frame 1 is in waitInFixture; from frame 2 on, its callers.
    expectCallersMatch(walk, 2, trace, traceCount.load());
    dlclose(library);
}

// A frame-pointer chain that turns back, points into unmapped memory or returns to the first page
// ends the walk instead of looping or faulting.
TEST(FrameWalker, BadFramePointerChainsEndTheWalk) {
    const obframe_cursor_frame_reader_t readers[] = {obframe_cursor_read_frame_ptr};
    const uint64_t pc = 0x400000;
    // Records at increasing addresses, each {caller's frame pointer, return address}, on a page
    // followed by an unmapped one.
    const size_t page = static_cast<size_t>(getpagesize());
    void* area = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    char* hole = static_cast<char*>(area) + page;
    munmap(hole, page);
    auto records = static_cast<uint64_t(*)[2]>(area);
    const auto at = [&](int i) { return reinterpret_cast<uint64_t>(records[i]); };

    const auto walkChain = [&](std::vector<uint64_t>* pcs) {
        obcrash_async_thread_state_t state;
        obcrash_async_thread_state_init(&state, CPU_TYPE_X86_64);
        obcrash_async_thread_state_set_reg(&state, 0, pc);
        obcrash_async_thread_state_set_reg(&state, 1, at(0));
        obcrash_async_thread_state_set_reg(&state, 2, at(0) - 64);
        obframe_cursor_t cursor;
        obframe_cursor_init(&cursor, ob_mach_task_self(), &state, nullptr);
        obframe_error_t err = OBFRAME_ESUCCESS;
        while (pcs->size() < 16 && (err = obframe_cursor_next_with_readers(&cursor, readers, 1)) == OBFRAME_ESUCCESS) {
            uint64_t value = 0;
            obframe_cursor_get_reg(&cursor, 0, &value);
            pcs->push_back(value);
            // A frame-pointer step knows nothing of the stack pointer.
            if (pcs->size() > 1) {
                EXPECT_EQ(obframe_cursor_get_reg(&cursor, 2, &value), OBFRAME_ENOTSUP);
            }
        }
        obframe_cursor_free(&cursor);
        return err;
    };

    // 0 -> 1 -> 0: the step back toward the stack's growth is refused.
    records[0][0] = at(1), records[0][1] = pc + 1;
    records[1][0] = at(0), records[1][1] = pc + 2;
    std::vector<uint64_t> pcs;
    EXPECT_EQ(walkChain(&pcs), OBFRAME_EBADFRAME);
    EXPECT_EQ(pcs, (std::vector<uint64_t>{pc, pc + 1, pc + 2}));

    // 0 -> unmapped, further up the stack.
    records[0][0] = reinterpret_cast<uint64_t>(hole);
    pcs.clear();
    EXPECT_EQ(walkChain(&pcs), OBFRAME_EBADFRAME);
    EXPECT_EQ(pcs.size(), 2u);

    // 0 -> 1 whose return address lies in the first page.
    records[0][0] = at(1);
    records[1][1] = 0x10;
    pcs.clear();
    EXPECT_EQ(walkChain(&pcs), OBFRAME_ENOFRAME);
    EXPECT_EQ(pcs, (std::vector<uint64_t>{pc, pc + 1}));
    munmap(area, page);
}

namespace {

using EntryFunction = int (*)(volatile int*, int);

// Only the unwind-information readers: every frame must be described, none guessed from a chain.
void walkMachOFault(int, siginfo_t*, void* context) {
    obcrash_async_thread_state_t state;
    obcrash_async_thread_state_mcontext_init(&state, static_cast<const ucontext_t*>(context));
    obframe_cursor_t cursor;
    obframe_cursor_init(&cursor, ob_mach_task_self(), &state, capture.walk.images);
    const obframe_cursor_frame_reader_t readers[] = {obframe_cursor_read_compact_unwind,
                                                     obframe_cursor_read_dwarf_unwind};
    walkFrom(&cursor, &capture.walk, readers, 2);
    siglongjmp(capture.back, 1);
}

__attribute__((noinline)) int callMachO(EntryFunction entry) {
    capture.traceCount = backtrace(capture.trace, kMaxFrames);
    const int result = entry(nullptr, 1);
    asm volatile("" ::: "memory");
    return result + 1;
}

}  // namespace

// Mach-O code placed in this process unwinds by its compact unwind information, and the walk
// goes on through the ELF images' call-frame information.
TEST(FrameWalker, MachOCodeUnwindsByCompactUnwindIntoTheElfCallers) {
    const std::string path = OBCRASH_MACHO_FIXTURES "/unwind-x86_64";
    unwindtest::MachOFile file(path);
    const uint64_t header = file.placeAtLinkAddress();
    ASSERT_NE(header, 0u);
    std::map<uint64_t, std::string> symbols;
    int code = -1;
    std::istringstream nm(testsupport::runCommand({"llvm-nm", path}, &code));
    ASSERT_EQ(code, 0);
    std::string address, kind, name;
    while (nm >> address >> kind >> name) {
        if (kind == "T" || kind == "t") symbols[std::stoull(address, nullptr, 16)] = name;
    }
    const auto nameAt = [&](uint64_t pc) {
        auto it = symbols.upper_bound(pc);
        return it == symbols.begin() ? std::string() : std::prev(it)->second;
    };
    uint64_t entry = 0;
    for (const auto& [at, symbol] : symbols) {
        if (symbol == "_unwind_entry") entry = at;
    }
    ASSERT_NE(entry, 0u);

    LoadedImages images;
    obcrash_nasync_image_list_append(&images.list, header, "unwind-x86_64");
    capture.walk.images = &images.list;
    withFaultHandler(walkMachOFault, [&] { callMachO(reinterpret_cast<EntryFunction>(entry)); });

    const Walk& walk = capture.walk;
    ASSERT_GE(walk.count, 5u);
    EXPECT_EQ(nameAt(walk.pcs[0]), "_unwind_innermost");
    EXPECT_EQ(nameAt(walk.pcs[1] - 1), "_unwind_middle");
    EXPECT_EQ(nameAt(walk.pcs[2] - 1), "_unwind_outer");
    EXPECT_EQ(nameAt(walk.pcs[3] - 1), "_unwind_entry");
    // Frame 4 is in callMachO; from frame 5 on, its callers.
    expectCallersMatch(walk, 5, capture.trace, capture.traceCount);
}
