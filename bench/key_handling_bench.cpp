// The cost of one key in the expansion engine, and of rebuilding its trigger cache, as the
// library grows. Keys go through the engine's real queues but no X server (fake tap, layout,
// poster and clipboard). Each key is timed on its own, from the tap handing it on to the engine
// being done with it (the engine's own stamps), on a quiet machine and with a busy loop on every
// core; the table shows the mean and the counters p50, p99 and the worst key, in microseconds.
// Ratios against the smallest library of the same run: the per-key ratio must stay near 1 whatever
// the number of snippets.
#include <benchmark/benchmark.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "EngineOnFakes.h"
#include "RatioReporter.h"
#include "Smoke.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeFillInPresenter.h"
#include "support/FakeKeyLayout.h"
#include "support/FakeKeyPoster.h"
#include "support/FakeKeyboardGrab.h"
#include "support/FakeKeyTap.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"
#include "Snippets/SnippetController.h"
#include "Sync/TeamSnippetCache.h"
#include "Expansion/TextReplacer.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/MemoryDefaults.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

std::vector<sablix::SnippetItem> makeSnippets(int64_t count, std::optional<platform::Uuid> teamId = std::nullopt) {
    std::vector<sablix::SnippetItem> items;
    items.reserve(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        sablix::SnippetItem item(platform::Uuid::generate(), "snip" + std::to_string(i),
                                 "Content of snippet number " + std::to_string(i), {"bench"}, kClock);
        item.teamId = teamId;
        items.push_back(std::move(item));
    }
    return items;
}

// The personal library, saved before the engine reads it.
struct SavedLibrary {
    explicit SavedLibrary(const std::vector<sablix::SnippetItem>& library) {
        sablix::SnippetController(defaults, kClock).saveItems(library);
    }
    platform::MemoryDefaults defaults;
};

// Collects how long each key took, from the tap to the engine being done with it.
class KeyTimes final : public sablix::HopObserver {
public:
    void keyHandled(const sablix::KeyHops& hops) override {
        const std::chrono::duration<double, std::micro> took = hops.handled - hops.tapped;
        lastMicroseconds_.store(took.count(), std::memory_order_relaxed);
        handled_.fetch_add(1, std::memory_order_release);
    }
    size_t handled() const { return handled_.load(std::memory_order_acquire); }
    double lastMicroseconds() const { return lastMicroseconds_.load(std::memory_order_relaxed); }

private:
    std::atomic<size_t> handled_{0};
    std::atomic<double> lastMicroseconds_{0};
};

// An engine on fakes, with the given personal library and team loader.
struct Engine : SavedLibrary, EngineOnFakes {
    explicit Engine(const std::vector<sablix::SnippetItem>& library,
                    sablix::TextReplacer::TeamSnippetLoader loader = nullptr, sablix::HopObserver* hops = nullptr)
        : SavedLibrary(library), EngineOnFakes(defaults, kClock, std::move(loader), nullptr, hops) {}
};

// A busy loop on every core this process may run on, for as long as the object lives.
class EveryCoreBusy {
public:
    EveryCoreBusy() {
        cpu_set_t set;
        const int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
        for (int i = 0; i < cores; ++i)
            loops_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {}
            });
    }
    ~EveryCoreBusy() {
        stop_ = true;
        for (auto& loop : loops_) loop.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> loops_;
};

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

// Arguments: the number of snippets, and 1 for a busy loop on every core.
void BM_HandleOneKey(benchmark::State& state) {
    QuietLog quiet;
    KeyTimes times;
    Engine engine(makeSnippets(state.range(0)), nullptr, &times);
    engine.replacer->registerTap();
    const auto tap = engine.taps.waitForRunningTap();
    if (!tap) {
        state.SkipWithError("the tap did not start");
        return;
    }
    const auto busy = state.range(1) ? std::make_unique<EveryCoreBusy>() : nullptr;
    // A ";" now and then keeps the buffer a possible trigger, so every key is looked up; no key
    // ever completes one.
    const auto keys = engine.layout.keysFor(";snipxabcdefghijklmnopqrstuvwyz");
    std::vector<double> microseconds;
    microseconds.reserve(state.max_iterations);
    size_t next = 0;
    for (auto _ : state) {
        const size_t before = times.handled();
        if (!tap->deliver(keys[next])) {
            state.SkipWithError("the tap did not take the key");
            break;
        }
        // Waiting here is no part of the figure, which comes from the engine's stamps.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (times.handled() == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        if (times.handled() == before) {
            state.SkipWithError("a key was never handled");
            break;
        }
        microseconds.push_back(times.lastMicroseconds());
        state.SetIterationTime(microseconds.back() / 1e6);
        next = (next + 1) % keys.size();
    }
    engine.replacer->unregister();
    state.counters["p50_us"] = percentile(microseconds, 0.50);
    state.counters["p99_us"] = percentile(microseconds, 0.99);
    state.counters["max_us"] = percentile(microseconds, 1.0);
}
BENCHMARK(BM_HandleOneKey)
    ->ArgNames({"snippets", "busy"})
    ->ArgsProduct({{100, 10000}, {0, 1}})
    ->UseManualTime()
    ->Iterations(smokeOr(20000, 200))
    ->Unit(benchmark::kMicrosecond);

void BM_RefreshPersonal(benchmark::State& state) {
    QuietLog quiet;
    Engine engine(makeSnippets(state.range(0)));
    for (auto _ : state) engine.replacer->refreshSnippetCache();
}
BENCHMARK(BM_RefreshPersonal)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_RefreshWithTeamDatabase(benchmark::State& state) {
    QuietLog quiet;
    char pattern[] = "/tmp/sablix-bench-XXXXXX";
    const char* directory = ::mkdtemp(pattern);
    if (!directory) {
        state.SkipWithError("no temporary folder");
        return;
    }
    {
        const auto teamId = platform::Uuid::generate();
        sablix::TeamSnippetCache cache(std::filesystem::path(directory) / "team_snippets.db");
        cache.open();
        // In one transaction: ten thousand of them, each synced to disk, took minutes.
        cache.applyPull(makeSnippets(state.range(0), teamId), {}, kClock);

        Engine engine(makeSnippets(100), sablix::TextReplacer::teamSnippetLoader(cache));
        engine.replacer->setActiveTeamId(teamId);
        for (auto _ : state) engine.replacer->refreshSnippetCache();
        state.counters["triggers"] = static_cast<double>(engine.replacer->triggerCache()->size());
    }
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_RefreshWithTeamDatabase)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"one key, 10,000 : 100 snippets, quiet (flat is 1)",
          "BM_HandleOneKey/snippets:10000/busy:0/iterations:" + std::to_string(smokeOr(20000, 200)) + "/manual_time",
          "BM_HandleOneKey/snippets:100/busy:0/iterations:" + std::to_string(smokeOr(20000, 200)) + "/manual_time"},
         {"cache rebuild, 10,000 : 1,000 personal snippets (linear is 10)", "BM_RefreshPersonal/10000",
          "BM_RefreshPersonal/1000"}});
}
