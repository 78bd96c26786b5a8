// AI generation. The stream parser over 100 MB of server-sent events: fed in 16 KiB pieces against
// parsing the same event payloads with nlohmann-json alone (goal at most 2), and fed byte by byte
// against 16 KiB pieces (goal at most 10: no copying that grows with the line). And the delay from
// the test backend writing a fragment to the view model receiving it, median and max over 200
// fragments, against the same delay up to the bare streaming reply. And showing a generation in
// the snippet editor, from the view model through the editor's form to its text document on
// screen: 10,000 fragments against 1,000 (linear is 10).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QQuickView>
#include <QCoro/QCoroTimer>

#include "RatioReporter.h"
#include "Smoke.h"
#include "Generation/CancellationError.h"
#include "Generation/SSEStreamParser.h"
#include "MainWindow/MiddlePanelModel.h"
#include "MainWindow/RightPanelModel.h"
#include "MainWindow/Views/Detail/DocumentText.h"
#include "MainWindow/Views/Detail/SnippetDetailPresenter.h"
#include "Shared/Views/ViewModule.h"
#include "Shell/AppNotifier.h"
#include "Networking/StreamingReply.h"
#include "Snippets/SnippetSettings.h"
#include "app/Generation/GenerationStack.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kStreamBytes = 100 * 1024 * 1024;
constexpr size_t kSmokeStreamBytes = 1024 * 1024;
constexpr int kFragments = 200;

// 100 MB of events as the proxy sends them, and the JSON payload of each.
struct Stream {
    std::string body;
    std::vector<std::string_view> payloads;
};

const Stream& stream() {
    static const Stream built = [] {
        Stream s;
        const size_t bytes = smokeOr(kStreamBytes, kSmokeStreamBytes);
        s.body.reserve(bytes + 4096);
        std::vector<std::pair<size_t, size_t>> spans;
        for (int i = 0; s.body.size() < bytes; ++i) {
            const std::string text = "word " + std::to_string(i) + (i % 7 == 0 ? " Grüße 😀" : " and more text");
            s.body += "event: content_block_delta\n";
            const size_t start = s.body.size() + 6;
            s.body += testservers::generationTextEvent(text).substr(std::string("event: content_block_delta\n").size());
            spans.emplace_back(start, s.body.find('\n', start) - start);
        }
        s.body += "data: [DONE]\n\n";
        for (auto [start, length] : spans) s.payloads.emplace_back(s.body.data() + start, length);
        return s;
    }();
    return built;
}

void BM_ParseStream(benchmark::State& state) {
    const Stream& s = stream();
    const size_t piece = static_cast<size_t>(state.range(0));
    const std::stop_token noCancellation;
    for (auto _ : state) {
        size_t fragments = 0;
        sablix::SSEStreamParser::Reading reading([&](const std::string&) { ++fragments; });
        const std::string_view body(s.body);
        for (size_t at = 0; at < body.size(); at += piece)
            if (!reading.feed(body.substr(at, piece), noCancellation)) break;
        benchmark::DoNotOptimize(reading.finish(noCancellation));
        if (fragments != s.payloads.size()) state.SkipWithError("fragments lost");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.body.size()));
}
BENCHMARK(BM_ParseStream)->Arg(16 * 1024)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

// The same payloads, each parsed and its text read, with nothing around it.
void BM_JsonAlone(benchmark::State& state) {
    const Stream& s = stream();
    for (auto _ : state) {
        std::string text;
        for (std::string_view payload : s.payloads) {
            const auto event = nlohmann::json::parse(payload, nullptr, false);
            text += event["delta"]["text"].get_ref<const std::string&>();
        }
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.body.size()));
}
BENCHMARK(BM_JsonAlone)->Unit(benchmark::kMillisecond)->Iterations(2);

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Reports the median as the benchmark's time and the max as a counter.
void report(benchmark::State& state, const std::vector<double>& seconds) {
    state.SetIterationTime(median(seconds));
    state.counters["max_us"] = *std::max_element(seconds.begin(), seconds.end()) * 1e6;
    state.counters["median_us"] = median(seconds) * 1e6;
}

void BM_FragmentDelay(benchmark::State& state) {
    generationtest::GenerationStack stack;
    if (!stack.start()) return state.SkipWithError("no backend");
    std::vector<std::string> fragments;
    for (int i = 0; i < kFragments; ++i) fragments.push_back("f" + std::to_string(i) + " ");
    auto model = stack.makeModel();
    std::vector<long long> receivedNs;
    QObject::connect(model.get(), &sablix::AIGenerationViewModel::generatedTextChanged, [&] {
        if (!model->generatedText().isEmpty())
            receivedNs.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
    });
    for (auto _ : state) {
        stack.script({{"fragments", fragments}, {"intervalMs", 5}});
        receivedNs.clear();
        model->generate("Greeting");
        while (model->isGenerating()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const auto written = stack.streams().back().value("writtenAtNs", std::vector<long long>());
        if (receivedNs.size() != fragments.size() || written.size() < fragments.size())
            return state.SkipWithError("fragments lost");
        std::vector<double> delays;
        for (size_t i = 0; i < fragments.size(); ++i) delays.push_back((receivedNs[i] - written[i]) * 1e-9);
        report(state, delays);
    }
}
BENCHMARK(BM_FragmentDelay)->UseManualTime()->Iterations(1)->Unit(benchmark::kMicrosecond);

// The baseline: the same stream read straight off the streaming reply, a fragment counted as
// received once its event's blank line is in.
void BM_TransportDelay(benchmark::State& state) {
    generationtest::GenerationStack stack;
    if (!stack.start()) return state.SkipWithError("no backend");
    std::vector<std::string> fragments;
    for (int i = 0; i < kFragments; ++i) fragments.push_back("f" + std::to_string(i) + " ");
    const QUrl url(QString::fromStdString(stack.backend.baseURL() + "/api/generate"));
    for (auto _ : state) {
        stack.script({{"fragments", fragments}, {"intervalMs", 5}});
        std::vector<long long> receivedNs;
        QByteArray body;
        const auto reply = stack.client.openStream(url, sablix::APIRequest("POST", nlohmann::json::object()),
                                                   std::chrono::seconds(60));
        bool done = false;
        const auto readAll = [&]() -> QCoro::Task<> {
            try {
                for (QByteArray piece = co_await reply->read(1 << 20); !piece.isEmpty();
                     piece = co_await reply->read(1 << 20)) {
                    const long long now =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
                    body += piece;
                    while (static_cast<int>(receivedNs.size()) < kFragments &&
                           body.count("\n\n") > qsizetype(receivedNs.size()))
                        receivedNs.push_back(now);
                }
            } catch (const std::exception&) {}
            done = true;
        };
        auto reading = readAll();
        while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const auto written = stack.streams().back().value("writtenAtNs", std::vector<long long>());
        if (receivedNs.size() != fragments.size() || written.size() < fragments.size())
            return state.SkipWithError("fragments lost");
        std::vector<double> delays;
        for (size_t i = 0; i < fragments.size(); ++i) delays.push_back((receivedNs[i] - written[i]) * 1e-9);
        report(state, delays);
    }
}
BENCHMARK(BM_TransportDelay)->UseManualTime()->Iterations(1)->Unit(benchmark::kMicrosecond);

// A service that hands over a prepared answer as fast as a network read brings it: a few
// fragments, then the event loop turns, until the answer is out or Stop came.
class PreparedAnswerService final : public sablix::AIServiceProtocol {
public:
    static constexpr int kFragmentsPerRead = 8;

    QCoro::Task<std::string> generateStream(sablix::AIGenerationRequest, DeltaHandler onDelta,
                                            std::stop_token cancellation) override {
        std::string whole;
        for (size_t i = 0; i < fragments.size(); ++i) {
            if (cancellation.stop_requested()) throw sablix::CancellationError();
            whole += fragments[i];
            onDelta(fragments[i]);
            if (i % kFragmentsPerRead == kFragmentsPerRead - 1) co_await QCoro::sleepFor(std::chrono::milliseconds(0));
        }
        co_return whole;
    }
    std::vector<std::string> fragments;
};

// The detail pane showing the snippet editor in an offscreen window, its form over the window's
// real panel models, its generation model over the prepared answer.
struct EditorWindow {
    EditorWindow() {
        view.setInitialProperties({{"presenter", QVariant::fromValue(&detail)}});
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(600, 800);
        sablix::findViewModule(*view.engine());
        view.setSource(QUrl("qrc:/Sablix/MainWindow/Views/Detail/SnippetDetailView.qml"));
        view.show();
    }
    // The content editor's text, character for character.
    QString shown() const {
        QQuickItem* editor = view.rootObject()->findChild<QQuickItem*>("contentEditor");
        return editor ? sablix::DocumentText::plainText(editor->property("textDocument").value<QQuickTextDocument*>())
                      : QString();
    }

    std::shared_ptr<PreparedAnswerService> service = std::make_shared<PreparedAnswerService>();
    platform::MemoryDefaults defaults, settingsStore;
    sablix::SnippetSettings settings{settingsStore};
    testsupport::FakeAnalyticsTracking analytics;
    sablix::AppNotifier notifier;
    platform::FakeClock clock{platform::Date::fromUnix(1767225600.0)};
    sablix::MiddlePanelModel middle{defaults, settings, clock, [] {}, analytics, notifier};
    sablix::RightPanelModel right{clock};
    sablix::SnippetDetailPresenter detail{right,
                                          middle,
                                          settings,
                                          sablix::DynamicFieldContext{clock, "", "", nullptr},
                                          false,
                                          {},
                                          [this](QObject* parent) {
                                              return new sablix::AIGenerationViewModel(
                                                  service, analytics, desktop::QtMainQueue::shared(), parent);
                                          }};
    QQuickView view;
};

// Fragments of 20 characters, a line break after every fourth, as a generated text has them.
std::vector<std::string> answer(int count) {
    std::vector<std::string> fragments;
    for (int i = 0; i < count; ++i) {
        std::string fragment = "word " + std::to_string(1000000 + i) + " is 20";
        fragment.resize(19, '.');
        fragments.push_back(fragment + (i % 4 == 3 ? "\n" : " "));
    }
    return fragments;
}

// From Generate to the whole answer in the content editor and on screen.
void BM_ShowGeneration(benchmark::State& state) {
    const int count = static_cast<int>(smokeOr<int64_t>(state.range(0), state.range(0) / 10));
    EditorWindow window;
    window.service->fragments = answer(count);
    QString whole;
    for (const auto& fragment : window.service->fragments) whole += QString::fromStdString(fragment);
    for (auto _ : state) {
        window.right.setIsEditingNewSnippet(false);
        window.right.showNewSnippetView();
        sablix::SnippetEditorPresenter* form = window.detail.editor();
        form->setSnippetTitle("greeting");
        QCoreApplication::processEvents();
        const auto start = Clock::now();
        form->aiGeneration()->generate("greeting");
        while (form->aiGeneration()->isGenerating()) QCoreApplication::processEvents();
        window.view.grabWindow();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["fragments"] = count;
}
BENCHMARK(BM_ShowGeneration)->Arg(1000)->Arg(10000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    return runBenchmarksWithRatios(
        argc, argv,
        {{"parse 100 MB in 16 KiB pieces : nlohmann-json alone (goal <= 2)", "BM_ParseStream/16384/iterations:2",
          "BM_JsonAlone/iterations:2"},
         {"parse 100 MB byte by byte : in 16 KiB pieces (goal <= 10)", "BM_ParseStream/1/iterations:2",
          "BM_ParseStream/16384/iterations:2"},
         {"fragment delay, server write to view model : to network reply, medians",
          "BM_FragmentDelay/iterations:1/manual_time", "BM_TransportDelay/iterations:1/manual_time"},
         {"show a generation in the editor, 10,000 : 1,000 fragments (linear is 10)",
          "BM_ShowGeneration/10000/iterations:3/manual_time", "BM_ShowGeneration/1000/iterations:3/manual_time"}});
}
