// The cost of one key in the expansion engine, and of rebuilding its trigger cache, as the
// library grows. Keys go through the engine's real queues but no X server (fake tap, layout,
// poster and clipboard). Printed as ratios against the smallest library of the same run: the
// per-key ratio must stay near 1 whatever the number of snippets.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

#include "BenchSupport.h"
#include "EngineOnFakes.h"
#include "RatioReporter.h"
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

// An engine on fakes, with the given personal library and team loader.
struct Engine : SavedLibrary, EngineOnFakes {
    explicit Engine(const std::vector<sablix::SnippetItem>& library,
                    sablix::TextReplacer::TeamSnippetLoader loader = nullptr)
        : SavedLibrary(library), EngineOnFakes(defaults, kClock, std::move(loader), nullptr) {}
};

void BM_HandleOneKey(benchmark::State& state) {
    QuietLog quiet;
    Engine engine(makeSnippets(state.range(0)));
    engine.replacer->registerTap();
    const auto tap = engine.taps.waitForRunningTap();
    if (!tap) {
        state.SkipWithError("the tap did not start");
        return;
    }
    // A ";" now and then keeps the buffer a possible trigger, so every key is looked up; no key
    // ever completes one.
    const auto keys = engine.layout.keysFor(";snipxabcdefghijklmnopqrstuvwyz");
    size_t next = 0;
    for (auto _ : state) {
        tap->deliver(keys[next]);
        engine.replacer->waitUntilIdle();
        next = (next + 1) % keys.size();
    }
    engine.replacer->unregister();
}
BENCHMARK(BM_HandleOneKey)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

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
        {{"one key, 10,000 : 100 snippets (flat is 1)", "BM_HandleOneKey/10000", "BM_HandleOneKey/100"},
         {"one key, 1,000 : 100 snippets (flat is 1)", "BM_HandleOneKey/1000", "BM_HandleOneKey/100"},
         {"cache rebuild, 10,000 : 1,000 personal snippets (linear is 10)", "BM_RefreshPersonal/10000",
          "BM_RefreshPersonal/1000"}});
}
