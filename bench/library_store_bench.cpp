// A settings change (one step of the title-length stepper) and a library save, on a real defaults
// file in a temporary folder, with 100 and with 10,000 snippets stored. A settings change should
// not grow with the library (flat is 1); a save grows with what it encodes and writes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Snippets/SnippetController.h"
#include "Snippets/SnippetSettings.h"
#include "RatioReporter.h"
#include "platform/Clock.h"
#include "platform/FileDefaults.h"
#include "platform/MemoryDefaults.h"
#include "support/ModelsTestSupport.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

using sablix::SnippetItem;

std::vector<SnippetItem> library(size_t count) {
    std::vector<SnippetItem> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i)
        items.emplace_back(platform::Uuid::generate(), "snippet-" + std::to_string(i),
                           "Dear {cursor},\nthanks for your note number " + std::to_string(i) +
                               ". I will get back to you by {date+3}.",
                           std::vector<std::string>{"mail", "work"}, kClock);
    return items;
}

// A real defaults file in a fresh folder, laid out as the application's, holding a library of
// `count` snippets; validation reads its settings from elsewhere, as the editor's does.
struct LibraryStore {
    explicit LibraryStore(size_t count) {
        if (!controller.saveItems(library(count))) failed = true;
    }

    modelstest::TempDir folder;
    platform::FileDefaults defaults{folder.path() / "defaults.json",
                                    {sablix::SnippetController::kSavedSnippetItemsKey}};
    platform::MemoryDefaults validationStore;
    sablix::SnippetSettings validationSettings{validationStore};
    sablix::SnippetController controller{defaults, validationSettings, kClock};
    bool failed = false;
};

void BM_SettingsChange(benchmark::State& state) {
    LibraryStore store(static_cast<size_t>(state.range(0)));
    if (store.failed) state.SkipWithError("save failed");
    sablix::SnippetSettings settings(store.defaults);
    int step = 0;
    for (auto _ : state) settings.setMaxTitleLength(20 + (++step % 2));
}

void BM_LibrarySave(benchmark::State& state) {
    LibraryStore store(static_cast<size_t>(state.range(0)));
    if (store.failed) state.SkipWithError("save failed");
    const auto items = store.controller.loadItems();  // as the snippet list does when it opens
    for (auto _ : state)
        if (!store.controller.saveItems(items)) state.SkipWithError("save failed");
}

BENCHMARK(BM_SettingsChange)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibrarySave)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"settings change, 10,000 : 100 snippets (flat is 1)", "BM_SettingsChange/10000", "BM_SettingsChange/100"},
         {"library save, 10,000 : 100 snippets (linear is 100)", "BM_LibrarySave/10000", "BM_LibrarySave/100"}});
}
