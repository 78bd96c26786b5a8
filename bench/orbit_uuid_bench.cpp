// Time-ordered identifiers: one thread alone (goal: at least 5 million a second), and eight threads
// sharing the process's generator (goal: together at least 0.3 times the one-thread rate, that is
// a time ratio of at most 3.3 for the same number of identifiers).
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "RatioReporter.h"
#include "orbit/Utils/Uuid.h"

namespace {

constexpr int kThreads = 8;
constexpr int kPerThread = 100'000;

void BM_UuidV7OneThread(benchmark::State& state) {
    for (auto _ : state)
        for (int i = 0; i < kThreads * kPerThread; ++i) benchmark::DoNotOptimize(orbit::Uuid::v7());
    state.SetItemsProcessed(state.iterations() * kThreads * kPerThread);
}

void BM_UuidV7EightThreads(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([] {
                for (int i = 0; i < kPerThread; ++i) benchmark::DoNotOptimize(orbit::Uuid::v7());
            });
    }
    state.SetItemsProcessed(state.iterations() * kThreads * kPerThread);
}

// Medians of several runs: other work on the machine easily takes a processor from eight busy threads.
BENCHMARK(BM_UuidV7OneThread)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9);
BENCHMARK(BM_UuidV7EightThreads)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(argc, argv,
                                   {{"800,000 identifiers, 8 threads : 1 thread (goal at most 3.3)",
                                     "BM_UuidV7EightThreads:median", "BM_UuidV7OneThread:median"}});
}
