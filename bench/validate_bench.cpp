// The snippet editor validates on every keystroke against the whole library: this measures
// validation against 1,000 and 10,000 snippets and prints the ratio of the two (10 is linear).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "Models/SnippetItem.h"
#include "Models/SnippetSettings.h"
#include "Models/SnippetValidation.h"
#include "platform/MemoryDefaults.h"

namespace {

using sablix::SnippetItem;

std::vector<SnippetItem> library(size_t count, bool accented) {
    std::vector<SnippetItem> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::string title = (accented ? "Caf\xC3\xA9-" : "Snippet-") + std::to_string(i);
        items.emplace_back(platform::Uuid::generate(), std::move(title),
                           "Dear {cursor},\nthanks for your note number " + std::to_string(i) + ".", std::vector<std::string>{});
    }
    return items;
}

void validate(benchmark::State& state, bool accented) {
    platform::MemoryDefaults defaults;
    sablix::SnippetSettings settings(defaults);
    const auto existing = library(static_cast<size_t>(state.range(0)), accented);
    const SnippetItem edited(platform::Uuid::generate(), accented ? "r\xC3\xA9sum\xC3\xA9" : "newtrigger",
                             "Hello {cursor} world, see you soon.", {});
    for (auto _ : state) benchmark::DoNotOptimize(edited.validate(existing, settings));
}

void BM_ValidateAscii(benchmark::State& state) { validate(state, false); }
void BM_ValidateAccented(benchmark::State& state) { validate(state, true); }
BENCHMARK(BM_ValidateAscii)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ValidateAccented)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* name : {"BM_ValidateAscii", "BM_ValidateAccented"}) {
        const auto small = reporter.times.find(std::string(name) + "/1000");
        const auto large = reporter.times.find(std::string(name) + "/10000");
        if (small == reporter.times.end() || large == reporter.times.end() || small->second <= 0) continue;
        std::printf("%s: 10,000 snippets take %.2f times as long as 1,000 (linear: 10)\n", name,
                    large->second / small->second);
    }
    benchmark::Shutdown();
    return 0;
}
