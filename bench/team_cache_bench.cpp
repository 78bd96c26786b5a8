// Reading a team's snippets from the team snippet database, as the keystroke engine does each time
// it rebuilds its triggers: 10,000 snippets against a baseline of 1,000 in the same run.
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "RatioReporter.h"
#include "Sync/TeamSnippetCache.h"
#include "platform/Clock.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

using platform::Uuid;
using sablix::SnippetItem;
using sablix::SyncMetadata;
using sablix::TeamSnippetCache;

constexpr int kBaseline = 1000;
constexpr int kMeasured = 10000;

// One database per size, filled once, with a second team and some deleted rows as noise.
struct Fixture {
    std::filesystem::path folder;
    std::unique_ptr<TeamSnippetCache> cache;
    Uuid team = Uuid::generate();
};

std::map<int, Fixture>& fixtures() {
    static std::map<int, Fixture> all;
    return all;
}

// Filling commits every row on its own; on a RAM-backed folder that takes seconds, not minutes.
std::filesystem::path scratchFolder() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

Fixture& fixture(int count) {
    auto [it, fresh] = fixtures().try_emplace(count);
    Fixture& f = it->second;
    if (!fresh) return f;
    f.folder = scratchFolder() / ("team_cache_bench_" + std::to_string(getpid()) + "_" + std::to_string(count));
    std::filesystem::remove_all(f.folder);
    f.cache = std::make_unique<TeamSnippetCache>(f.folder / "team_snippets.db");
    f.cache->open();
    const Uuid otherTeam = Uuid::generate();
    const auto date = *platform::Date::fromIso8601("2024-05-01T12:00:00Z");
    const auto metadata = SyncMetadata::synced(1, kClock);
    for (int i = 0; i < count + count / 10; ++i) {
        const bool noise = i >= count;
        SnippetItem item(Uuid::generate(), "trigger" + std::to_string(i),
                         "Content of snippet " + std::to_string(i) + ", a line or two of ordinary text.",
                         {"work", "team"}, noise && i % 2 ? otherTeam : f.team, Uuid::generate(),
                         sablix::SnippetVisibility::team, 1, date, date,
                         noise && i % 2 == 0 ? std::optional(date) : std::nullopt);
        f.cache->saveSnippet(item, metadata);
    }
    return f;
}

void BM_GetSnippets(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Fixture& f = fixture(count);
    for (auto _ : state) {
        auto snippets = f.cache->getSnippets(f.team, false);
        if (static_cast<int>(snippets.size()) != count) state.SkipWithError("wrong number of snippets");
        benchmark::DoNotOptimize(snippets);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_GetSnippets)->Arg(kBaseline)->Arg(kMeasured)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const int status = runBenchmarksWithRatios(
        argc, argv,
        {{"getSnippets, " + std::to_string(kMeasured) + " : " + std::to_string(kBaseline) + " snippets (linear is " +
              std::to_string(kMeasured / kBaseline) + ")",
          "BM_GetSnippets/" + std::to_string(kMeasured), "BM_GetSnippets/" + std::to_string(kBaseline)}});
    for (auto& [count, f] : fixtures()) {
        f.cache.reset();
        std::filesystem::remove_all(f.folder);
    }
    return status;
}
