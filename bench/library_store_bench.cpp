// A settings change (one step of the title-length stepper), a library save, the decode of the
// library at start-up (the store opened and the library read, as the engine and the list do) and
// the engine's trigger-cache refresh, on a real defaults file in a temporary folder, at 100,
// 10,000 and 50,000 snippets. A settings change should not grow with the library (flat is 1); the
// others grow with what they decode or encode. The decode is set against Python reading the same
// file (json.loads of the file, base64 of the value, json.loads of the library).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "EngineOnFakes.h"
#include "Expansion/TextReplacer.h"
#include "Snippets/SnippetController.h"
#include "Snippets/SnippetSettings.h"
#include "RatioReporter.h"
#include "platform/Clock.h"
#include "platform/FileDefaults.h"
#include "platform/Log.h"
#include "platform/MemoryDefaults.h"
#include "support/ChildProcess.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeFillInPresenter.h"
#include "support/FakeKeyLayout.h"
#include "support/FakeKeyPoster.h"
#include "support/FakeKeyTap.h"
#include "support/FakeKeyboardGrab.h"
#include "support/FakePasteboard.h"
#include "support/FakeWorkspace.h"
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
    // Shared as the application shares it between the snippet list and the engine.
    sablix::SnippetLibraryCache libraryCache;
    sablix::SnippetController controller{defaults, validationSettings, kClock, &libraryCache};
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

// A fresh store on the file, as a new process opens it, and the library read from it twice: by
// the engine and by the snippet list.
void BM_StartupDecode(benchmark::State& state) {
    QuietLog quiet;
    LibraryStore store(static_cast<size_t>(state.range(0)));
    if (store.failed) state.SkipWithError("save failed");
    for (auto _ : state) {
        platform::FileDefaults defaults(store.folder.path() / "defaults.json",
                                        {sablix::SnippetController::kSavedSnippetItemsKey});
        sablix::SnippetLibraryCache libraryCache;
        const auto engine = sablix::SnippetController(defaults, kClock, &libraryCache).loadItems();
        const auto list = sablix::SnippetController(defaults, kClock, &libraryCache).loadItems();
        if (engine.size() != static_cast<size_t>(state.range(0)) || list.size() != engine.size())
            state.SkipWithError("the library did not decode");
    }
}

// The engine's refresh after the library was saved, on fakes but for the store.
void BM_Refresh(benchmark::State& state) {
    QuietLog quiet;
    LibraryStore store(static_cast<size_t>(state.range(0)));
    if (store.failed) state.SkipWithError("save failed");
    EngineOnFakes fakes(store.defaults, kClock, nullptr, &store.libraryCache);
    sablix::TextReplacer& engine = *fakes.replacer;
    auto items = store.controller.loadItems();
    size_t step = 0;
    for (auto _ : state) {
        // One snippet edited and saved, as the list does before it asks for a refresh.
        state.PauseTiming();
        items[step++ % items.size()].snippet += "!";
        if (!store.controller.saveItems(items)) state.SkipWithError("save failed");
        state.ResumeTiming();
        engine.refreshSnippetCache();
    }
    if (engine.triggerCache()->size() != items.size()) state.SkipWithError("the cache is incomplete");
}

// Python times itself per read, so its start-up stays out of the figure.
void BM_PythonDecode(benchmark::State& state) {
    LibraryStore store(static_cast<size_t>(state.range(0)));
    if (store.failed) state.SkipWithError("save failed");
    const std::string script =
        "import base64, json, sys, time\n"
        "text = open(sys.argv[1], 'rb').read()\n"
        "times = []\n"
        "for _ in range(int(sys.argv[2])):\n"
        "    start = time.perf_counter()\n"
        "    value = json.loads(text)['savedSnippetItems']['$data']\n"
        "    library = json.loads(base64.b64decode(value))\n"
        "    times.append(time.perf_counter() - start)\n"
        "times.sort()\n"
        "print(times[len(times) // 2])\n";
    const auto file = store.defaults.separateFile(sablix::SnippetController::kSavedSnippetItemsKey);
    int code = -1;
    const auto printed = testsupport::runCommand({"python3", "-c", script, file.string(), "15"}, &code, 300000);
    if (code != 0) return state.SkipWithError("python3 could not be run");
    const double seconds = std::stod(printed);
    for (auto _ : state) state.SetIterationTime(seconds);
}

BENCHMARK(BM_SettingsChange)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibrarySave)->Arg(100)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupDecode)->Arg(100)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Refresh)->Arg(100)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PythonDecode)
    ->Arg(100)
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(
        argc, argv,
        {{"settings change, 10,000 : 100 snippets (flat is 1)", "BM_SettingsChange/10000", "BM_SettingsChange/100"},
         {"library save, 10,000 : 100 snippets (linear is 100)", "BM_LibrarySave/10000", "BM_LibrarySave/100"},
         {"start-up decode : Python, 100 snippets", "BM_StartupDecode/100",
          "BM_PythonDecode/100/iterations:3/manual_time"},
         {"start-up decode : Python, 10,000 snippets", "BM_StartupDecode/10000",
          "BM_PythonDecode/10000/iterations:3/manual_time"},
         {"start-up decode : Python, 50,000 snippets", "BM_StartupDecode/50000",
          "BM_PythonDecode/50000/iterations:3/manual_time"},
         {"refresh : Python decode, 10,000 snippets", "BM_Refresh/10000",
          "BM_PythonDecode/10000/iterations:3/manual_time"},
         {"refresh, 10,000 : 100 snippets (linear is 100)", "BM_Refresh/10000", "BM_Refresh/100"}});
}
