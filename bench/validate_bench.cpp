// The snippet editor validates on every keystroke against the whole library: this measures
// validation against 1,000 and 10,000 snippets and prints the ratio of the two (10 is linear).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "RatioReporter.h"
#include "Snippets/SnippetItem.h"
#include "Snippets/SnippetSettings.h"
#include "Snippets/SnippetValidation.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

using sablix::SnippetItem;

std::vector<SnippetItem> library(size_t count, bool accented) {
    std::vector<SnippetItem> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::string title = (accented ? "Caf\xC3\xA9-" : "Snippet-") + std::to_string(i);
        items.emplace_back(platform::Uuid::generate(), std::move(title),
                           "Dear {cursor},\nthanks for your note number " + std::to_string(i) + ".",
                           std::vector<std::string>{}, kClock);
    }
    return items;
}

void validate(benchmark::State& state, bool accented) {
    platform::MemoryDefaults defaults;
    sablix::SnippetSettings settings(defaults);
    const auto existing = library(static_cast<size_t>(state.range(0)), accented);
    const SnippetItem edited(platform::Uuid::generate(), accented ? "r\xC3\xA9sum\xC3\xA9" : "newtrigger",
                             "Hello {cursor} world, see you soon.", {}, kClock);
    for (auto _ : state) benchmark::DoNotOptimize(edited.validate(existing, settings));
}

void BM_ValidateAscii(benchmark::State& state) { validate(state, false); }
void BM_ValidateAccented(benchmark::State& state) { validate(state, true); }
BENCHMARK(BM_ValidateAscii)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ValidateAccented)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"validate, 10,000 : 1,000 ASCII titles (linear is 10)", "BM_ValidateAscii/10000", "BM_ValidateAscii/1000"},
         {"validate, 10,000 : 1,000 accented titles (linear is 10)", "BM_ValidateAccented/10000",
          "BM_ValidateAccented/1000"}});
}
