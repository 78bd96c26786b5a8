// What a user waits for: from the last key of a trigger to the snippet standing in a real X
// client. A private Xvfb with a window manager, a Tk text widget with the focus, the real `sablix`
// binary, and the trigger typed through XTest into the emptied field. Each repetition is one
// expansion (SABLIX_BENCH_EXPANSIONS, default 500, 3 in the smoke run, per scenario):
//   - empty clipboard while a busy loop runs on every core (no expansion should pass 150 ms);
//   - a short text on the clipboard, and a 20 MB image on it (owned by another client each time,
//     so the save reads it across the connection): the ratio of their medians should stay <= 1.5.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RatioReporter.h"
#include "Smoke.h"
#include "platform/Clock.h"
#include "support/ChildProcess.h"
#include "support/Desk.h"
#include "support/Wait.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;  // the Tk field stamps its changes with the wall clock
using testsupport::ChildProcess;
using testsupport::waitUntil;

constexpr const char* kTrigger = ";lat";
constexpr const char* kSnippet = "Latency probe: the snippet has arrived.";
constexpr const char* kMainWindowTitle = "Sablix";
constexpr auto kBetweenKeys = std::chrono::milliseconds(15);
// The previous clipboard comes back a while after the paste; the next trigger waits for that.
constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr int kImageBytes = 20 * 1024 * 1024;
constexpr int kExpansions = 500;
constexpr int kSmokeExpansions = 3;
constexpr int kClipboardTimeoutMs = 10000;
constexpr int kFocusTimeoutMs = 20000;
constexpr int kArrivalTimeoutMs = 20000;

std::string temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sablix-latency-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// One busy loop per core this process may run on, for as long as the object lives.
class CpuLoad {
public:
    CpuLoad() {
        cpu_set_t set;
        const int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
        for (int i = 0; i < cores; ++i)
            loops_.push_back(
                std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", "while :; do :; done"}));
    }

private:
    std::vector<std::unique_ptr<ChildProcess>> loops_;
};

// Everything an expansion needs, started once for the whole program.
class Rig {
public:
    static Rig& instance() {
        static Rig rig;
        return rig;
    }

    const std::string& failure() const { return failure_; }

    // One expansion: its latency, or why there is none.
    struct Outcome {
        std::chrono::duration<double> latency{};
        const char* failure = nullptr;
    };

    // Empties the field, types the trigger, and measures from posting its last key to the
    // snippet standing in the field.
    Outcome expand() {
        // Each expansion types into an empty field: a field that keeps every snippet slows down
        // with its line and would be measured along with Sablix.
        if (!desk_.field.clear()) return {.failure = "the Tk field could not be emptied"};
        desk_.field.newChanges();
        const auto keys = std::string(kTrigger);
        for (size_t i = 0; i + 1 < keys.size(); ++i) {
            tap(keys[i]);
            std::this_thread::sleep_for(kBetweenKeys);
        }
        const auto posted = Clock::now();
        tap(keys.back());
        const auto arrived = snippetArrival();
        std::this_thread::sleep_for(kSettle);
        if (!arrived) return {.failure = "the snippet did not arrive within 20 s"};
        if (desk_.field.contents() != kSnippet) return {.failure = "the field holds something else than the snippet"};
        return {.latency = *arrived - posted};
    }

    // Another client takes the clipboard with these bytes and keeps it until the next call.
    bool ownClipboard(const std::string& bytes, const std::string& type) {
        clipboardOwner_.reset();
        const auto file = directory_ + "/clipboard";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        const Window before = XGetSelectionOwner(display_, clipboard_);
        clipboardOwner_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-t", type, "-i", file},
            std::vector<std::string>{"DISPLAY=" + desk_.display()});
        return waitUntil(
            [&] {
                const Window owner = XGetSelectionOwner(display_, clipboard_);
                return owner != None && owner != before;
            },
            kClipboardTimeoutMs);
    }

private:
    Rig() {
        directory_ = temporaryDirectory();
        if (directory_.empty() || !desk_.open()) {
            failure_ = "the display, its window manager or the Tk field did not start";
            return;
        }
        display_ = XOpenDisplay(desk_.display().c_str());
        if (!display_) {
            failure_ = "cannot open the display";
            return;
        }
        clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
        auto& session = desk_.session;
        session.storeLibrary(
            {sablix::SnippetItem(platform::Uuid::generate(), std::string(kTrigger).substr(1), kSnippet, {}, kClock)});
        if (!session.start() || !session.waitForLog(e2e::SablixSession::kTapRunning)) {
            failure_ = "sablix did not start its tap:\n" + session.log();
            return;
        }
        // Sablix brings its main window in front once it has loaded it, and leaves alone the keys
        // typed into its own window: the field takes the focus back only after that.
        waitUntil([&] { return focusedWindowName() == kMainWindowTitle; }, kFocusTimeoutMs);
        if (!desk_.field.focus() || !session.waitUntilTapSeesKeys())
            failure_ = "sablix does not see the keys:\n" + session.log();
    }

    ~Rig() {
        if (display_) XCloseDisplay(display_);
        clipboardOwner_.reset();
        std::error_code ignored;
        if (!directory_.empty()) fs::remove_all(directory_, ignored);
    }

    // When the field changed to hold as many characters as the snippet: the trigger typed into
    // the emptied field is shorter, and the paste inserts the snippet at once.
    std::optional<Clock::time_point> snippetArrival() {
        const size_t length = std::string(kSnippet).size();
        std::optional<Clock::time_point> when;
        waitUntil(
            [&] {
                for (const auto& change : desk_.field.newChanges())
                    if (change.length == length) when = change.at;
                return when.has_value();
            },
            kArrivalTimeoutMs);
        return when;
    }

    std::string focusedWindowName() const {
        std::string name = e2e::runOn(desk_.display(), {"xdotool", "getwindowfocus", "getwindowname"});
        while (!name.empty() && name.back() == '\n') name.pop_back();
        return name;
    }

    void tap(char c) {
        const std::string name = c == ';' ? "semicolon" : std::string(1, c);
        const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(name.c_str()));
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
    }

    e2e::Desk desk_;
    std::string directory_;
    std::string failure_;
    Display* display_ = nullptr;
    Atom clipboard_ = None;
    std::unique_ptr<ChildProcess> clipboardOwner_;
};

std::unique_ptr<CpuLoad> load;
// The reporter sees only the statistics of a scenario once two of its expansions succeeded, and
// they leave out the failed ones: the program counts them itself.
int failedExpansions = 0;

// One repetition of a scenario is one expansion; `prepare` sets the scene before it.
void expansion(benchmark::State& state, const std::function<bool(Rig&)>& prepare) {
    auto& rig = Rig::instance();
    for (auto _ : state) {
        const char* failure = !rig.failure().empty() ? rig.failure().c_str()
                              : !prepare(rig)        ? "the clipboard could not be given to another client"
                                                     : nullptr;
        const auto outcome = failure ? Rig::Outcome{.failure = failure} : rig.expand();
        if (outcome.failure) {
            ++failedExpansions;
            state.SkipWithError(outcome.failure);
            break;
        }
        state.SetIterationTime(outcome.latency.count());
    }
}

double percentile95(const std::vector<double>& v) {
    auto sorted = v;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, sorted.size() * 95 / 100)];
}
double maximum(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }
double shareAbove150ms(const std::vector<double>& v) {
    return v.empty() ? 0 : double(std::count_if(v.begin(), v.end(), [](double s) { return s > 0.150; })) / v.size();
}

int expansionsPerScenario() {
    const char* text = std::getenv("SABLIX_BENCH_EXPANSIONS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : smokeOr(kExpansions, kSmokeExpansions);
}

void registerScenario(const char* name, std::function<bool(Rig&)> prepare) {
    benchmark::RegisterBenchmark(name, [prepare](benchmark::State& state) { expansion(state, prepare); })
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(expansionsPerScenario())
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("p95", percentile95)
        ->ComputeStatistics("max", maximum)
        ->ComputeStatistics("above_150ms", shareAbove150ms, benchmark::kPercentage)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    registerScenario("EmptyClipboardEveryCoreBusy", [](Rig&) {
        if (!load) load = std::make_unique<CpuLoad>();
        return true;
    });
    registerScenario("TextOnClipboard", [](Rig& rig) {
        load.reset();
        return rig.ownClipboard("A few words the user copied.", "UTF8_STRING");
    });
    registerScenario("ImageOnClipboard", [](Rig& rig) {
        static const std::string image = [] {
            std::string bytes("\x89PNG\r\n\x1a\n", 8);
            bytes.resize(kImageBytes);
            for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
            return bytes;
        }();
        return rig.ownClipboard(image, "image/png");
    });
    const int status = runBenchmarksWithRatios(argc, argv,
                                               {{"median expansion, 20 MB image : text on the clipboard (goal <= 1.5)",
                                                 "ImageOnClipboard:median", "TextOnClipboard:median"}});
    load.reset();
    return failedExpansions > 0 ? 1 : status;
}
