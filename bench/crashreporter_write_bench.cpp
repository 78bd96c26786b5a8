// Writing the crash report of a process whose 20 threads each wait 30 calls deep, against a bare
// loop doing the same FDE look-ups over the same .eh_frame sections: the floor that the linear
// search of the call-frame information sets (goal: at most 3 times its time, the sizing pass that
// walks every stack a second time included).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "RatioReporter.h"
#include "Smoke.h"
#include "crashreporter/OBCrashAsyncDwarfFrame.hpp"
#include "crashreporter/OBCrashAsyncFrameWalker.h"
#include "crashreporter/OBCrashAsyncThreads.h"
#include "crashreporter/OBCrashLogWriter.h"

namespace {

constexpr int kThreads = 20;
constexpr int kDepth = 30;

std::mutex mutex;
std::condition_variable wake;
bool stopping = false;
std::atomic<int> waiting{0};

__attribute__((noinline)) int descend(int depth) {
    if (depth == 0) {
        std::unique_lock lock(mutex);
        waiting.fetch_add(1);
        wake.wait(lock, [] { return stopping; });
        return 0;
    }
    const int result = descend(depth - 1);
    asm volatile("" : : "r"(result) : "memory");
    return result + 1;
}

// The waiting threads and the images, for the whole program.
struct Process {
    Process() {
        obcrash_nasync_threads_setup();
        obcrash_nasync_image_list_init(&images, ob_mach_task_self());
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* list) {
                obcrash_nasync_image_list_append_elf(static_cast<obcrash_async_image_list_t*>(list), info, nullptr);
                return 0;
            },
            &images);
        for (int i = 0; i < kThreads; ++i) threads.emplace_back([] { descend(kDepth); });
        while (waiting.load() < kThreads) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        obcrash_log_writer_init(&writer, "com.sablix.bench", "1", "1.0", 0, false);
        sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    ~Process() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (auto& thread : threads) thread.join();
        obcrash_log_writer_free(&writer);
        obcrash_nasync_image_list_free(&images);
        close(sink);
    }
    obcrash_async_image_list_t images;
    obcrash_log_writer_t writer;
    std::vector<std::thread> threads;
    int sink = -1;
};

Process& process() {
    static Process instance;
    return instance;
}

// Each pc a walk of every waiting thread looks up, with the .eh_frame it is looked up in.
struct Lookup {
    const obcrash_async_mobject_t* section;
    ob_vm_address_t pc;
};

struct Lookups {
    std::map<const obcrash_async_image_t*, std::unique_ptr<obcrash_async_mobject_t>> sections;
    std::vector<Lookup> lookups;
    ~Lookups() {
        for (auto& [image, section] : sections) obcrash_async_mobject_free(section.get());
    }
};

void collect(Lookups& result) {
    Process& p = process();
    ob_thread_t threads[OBCRASH_LOG_WRITER_MAX_THREADS];
    size_t count = 0;
    obcrash_async_task_threads(threads, OBCRASH_LOG_WRITER_MAX_THREADS, &count);
    for (size_t i = 0; i < count; ++i) {
        if (threads[i] == ob_mach_thread_self() || obcrash_async_thread_suspend(threads[i]) != OBCRASH_OK) continue;
        obcrash_async_threads_await_suspended(OBCRASH_THREAD_SUSPEND_WAIT_MS);
        obframe_cursor_t cursor;
        if (obframe_cursor_thread_init(&cursor, ob_mach_task_self(), threads[i], &p.images) == OBCRASH_OK) {
            for (int frame = 0; obframe_cursor_next(&cursor) == OBFRAME_ESUCCESS; ++frame) {
                uint64_t pc = 0;
                obframe_cursor_get_reg(&cursor, 0, &pc);
                const ob_vm_address_t lookupPc = frame == 0 ? pc : pc - 1;
                obcrash_async_image_list_set_reading(&p.images, true);
                const obcrash_async_image_t* image = obcrash_async_image_containing_address(&p.images, lookupPc);
                obcrash_async_image_list_set_reading(&p.images, false);
                if (image == nullptr) continue;
                auto& section = result.sections[image];
                if (!section) {
                    section = std::make_unique<obcrash_async_mobject_t>();
                    if (obcrash_async_image_map_section(image, "__TEXT", "__eh_frame", section.get()) != OBCRASH_OK)
                        continue;
                }
                result.lookups.push_back({section.get(), lookupPc});
            }
            obframe_cursor_free(&cursor);
        }
        obcrash_async_thread_resume(threads[i]);
    }
}

Lookups& lookups() {
    static Lookups instance;
    static const bool collected = (collect(instance), true);
    (void)collected;
    return instance;
}

void BM_WriteReport(benchmark::State& state) {
    Process& p = process();
    const crash_bsd_signal_info_t bsd{SIGSEGV, 1, 0};
    const crash_signal_info_t signal{&bsd, nullptr};
    for (auto _ : state) {
        obcrash_async_file_t file;
        obcrash_async_file_init(&file, p.sink, 0);
        if (obcrash_log_writer_write(&p.writer, 0, &p.images, &file, &signal, nullptr) != OBCRASH_OK)
            state.SkipWithError("the report was not written");
        obcrash_async_file_flush(&file);
    }
}

// Twice each, as the writer walks every stack once to size it and once to write it.
void BM_FdeLookups(benchmark::State& state) {
    using obcrash::OB::async::dwarf_frame_reader;
    using obcrash::OB::async::obcrash_async_dwarf_fde_info_t;
    const Lookups& all = lookups();
    if (all.lookups.size() < kThreads * kDepth) state.SkipWithError("the walks found too few frames");
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            for (const Lookup& lookup : all.lookups) {
                dwarf_frame_reader reader;
                reader.init(lookup.section, obcrash_async_byteorder_little_endian(), true, false);
                obcrash_async_dwarf_fde_info_t fde;
                benchmark::DoNotOptimize(reader.find_fde(0, lookup.pc, &fde));
            }
        }
    }
}

BENCHMARK(BM_WriteReport)->Unit(benchmark::kMillisecond)->Repetitions(smokeOr(5, 1));
BENCHMARK(BM_FdeLookups)->Unit(benchmark::kMillisecond)->Repetitions(smokeOr(5, 1));

}  // namespace

int main(int argc, char** argv) {
    process();
    lookups();
    std::printf("FDE look-ups per pass: %zu\n", lookups().lookups.size());
    const int result =
        runBenchmarksWithRatios(argc, argv,
                                {{"20 threads x 30 frames: report write : bare FDE look-ups (goal at most 3)",
                                  "BM_WriteReport:median", "BM_FdeLookups:median"}});
    return result;
}
