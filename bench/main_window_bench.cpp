// The main window over a large library: filtering by a search text with the tag counts rebuilt,
// and opening the window's content up to its first frame, each with 1,000 and with 10,000
// snippets. Filtering may grow with the library (10 is linear); opening should not, since the
// list builds only the rows it shows (flat is 1, twice is the most allowed).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QQuickView>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Snippets/SnippetController.h"
#include "Shell/AppNotifier.h"
#include "MainWindow/MainWindowState.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/TagSidebarModel.h"
#include "MainWindow/UpdateNotice.h"
#include "Networking/APIClient.h"
#include "Snippets/SnippetSettings.h"
#include "Shell/Updates/UpdateChecker.h"
#include "Shell/Updates/Updater.h"
#include "RatioReporter.h"
#include "MainWindow/Views/Detail/SnippetDetailPresenter.h"
#include "platform/Clock.h"
#include "platform/MemoryDefaults.h"
#include "support/FakeAnalyticsTracking.h"
#include "support/FakeWorkspace.h"
#include "Shared/Views/ViewModule.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

using sablix::SnippetItem;

// The window's models over a library of `count` snippets, as the application makes them.
struct Window {
    explicit Window(size_t count) {
        defaults.set(sablix::MiddlePanelModel::kHasSeededStarterSnippetsKey, true);
        sablix::SnippetController(defaults, kClock).saveItems(sampleLibrary(count, kClock));
        middle = std::make_unique<sablix::MiddlePanelModel>(
            defaults, settings, kClock, [] {}, analytics, notifier);
        tags = std::make_unique<sablix::TagSidebarModel>(*middle);
        state = std::make_unique<sablix::MainWindowState>(*middle, right, *tags, defaults);
    }

    platform::MemoryDefaults defaults;
    platform::MemoryDefaults settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    sablix::RightPanelModel right{kClock};
    std::unique_ptr<sablix::MiddlePanelModel> middle;
    std::unique_ptr<sablix::TagSidebarModel> tags;
    std::unique_ptr<sablix::MainWindowState> state;
    sablix::AppEnvironment environment;
    sablix::APIClient client{environment};
    sablix::UpdateChecker checker{client, QUrl("http://127.0.0.1:9/appcast.xml"), std::string("1.0")};
    testsupport::FakeWorkspace workspace;
    sablix::Updater updater{client, workspace, QUrl("http://127.0.0.1:9/appcast.xml"), std::string("1.0")};
    sablix::UpdateNotice notice{checker, updater};
    sablix::SnippetDetailPresenter detail{right, *middle, settings,
                                          sablix::DynamicFieldContext{kClock, "", "", nullptr}, false};
};

void BM_FilterAndCount(benchmark::State& state) {
    Window window(static_cast<size_t>(state.range(0)));
    int step = 0;
    for (auto _ : state) {
        // Alternating texts, so every pass filters anew.
        window.middle->filterItems(++step % 2 ? "thank" : "THANK you", "");
        window.middle->updateTagCounts();
        benchmark::DoNotOptimize(window.middle->filteredItems().size());
    }
}

void BM_OpenContent(benchmark::State& state) {
    Window window(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        QQuickView view;
        view.setInitialProperties({
            {"middlePanelModel", QVariant::fromValue(window.middle.get())},
            {"rightPanelModel", QVariant::fromValue(&window.right)},
            {"tagSidebarModel", QVariant::fromValue(window.tags.get())},
            {"windowState", QVariant::fromValue(window.state.get())},
            {"updateNotice", QVariant::fromValue(&window.notice)},
            {"detailPresenter", QVariant::fromValue(&window.detail)},
        });
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(900, 600);
        sablix::findViewModule(*view.engine());
        view.setSource(QUrl("qrc:/Sablix/MainWindow/Views/ContentView.qml"));
        if (!view.rootObject()) {
            state.SkipWithError("the content did not load");
            break;
        }
        bool shown = false;
        QObject::connect(&view, &QQuickWindow::frameSwapped, [&] { shown = true; });
        view.show();
        while (!shown) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

BENCHMARK(BM_FilterAndCount)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenContent)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    return runBenchmarksWithRatios(argc, argv,
                                   {{"filter by search text and count tags, 10,000 : 1,000 snippets (linear is 10)",
                                     "BM_FilterAndCount/10000", "BM_FilterAndCount/1000"},
                                    {"open the window's content, 10,000 : 1,000 snippets (flat is 1, at most 2)",
                                     "BM_OpenContent/10000", "BM_OpenContent/1000"}});
}
