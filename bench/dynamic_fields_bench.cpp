// Dynamic fields run once per expansion, on the keystroke engine's queue. This measures process
// on typical content (a signature, dates, the weekday) and on snippets that all refer to each
// other, whose work the expansion budget bounds; ratios are against the typical content.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "RatioReporter.h"
#include "support/MutualNest.h"
#include "Snippets/DynamicFieldProcessor.h"

namespace {

using sablix::DynamicFieldProcessor;
using sablix::SnippetItem;

const platform::FakeClock kClock(platform::Date::fromUnix(1782505800));
const sablix::DynamicFieldContext kContext{kClock, "en_US", "America/New_York", nullptr};

std::vector<SnippetItem> library() {
    std::vector<SnippetItem> items;
    for (int i = 0; i < 200; ++i)
        items.emplace_back(platform::Uuid::generate(), "note" + std::to_string(i), "Note number " + std::to_string(i),
                           std::vector<std::string>{}, kClock);
    items.emplace_back(platform::Uuid::generate(), "sig", "Best regards,\nAnn Example\n{snippet:addr}",
                       std::vector<std::string>{}, kClock);
    items.emplace_back(platform::Uuid::generate(), "addr", "1 Main Street, Springfield", std::vector<std::string>{},
                       kClock);
    return items;
}

void BM_ProcessTypical(benchmark::State& state) {
    const auto snippets = library();
    const std::string content =
        "Hello team,\n\nas of {date} ({day}, {time}) the report is due {date+7:short}.\n\n{snippet:sig}";
    for (auto _ : state) benchmark::DoNotOptimize(DynamicFieldProcessor::process(content, snippets, {}, 0, kContext));
}

void BM_ProcessMutualNest(benchmark::State& state) {
    const auto snippets = testsupport::mutualNest(static_cast<int>(state.range(0)), kClock);
    size_t size = 0;
    for (auto _ : state) {
        auto out = DynamicFieldProcessor::process("{snippet:a0}", snippets, {}, 0, kContext);
        size = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.counters["bytes"] = static_cast<double>(size);
}

BENCHMARK(BM_ProcessTypical)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessMutualNest)->Arg(6)->Arg(10)->Arg(14)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"6 mutually nested snippets : typical content", "BM_ProcessMutualNest/6", "BM_ProcessTypical"},
         {"10 mutually nested snippets : typical content", "BM_ProcessMutualNest/10", "BM_ProcessTypical"},
         {"14 mutually nested snippets : typical content", "BM_ProcessMutualNest/14", "BM_ProcessTypical"}});
}
