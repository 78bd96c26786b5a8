// What a user waits for: from the last key of a trigger to the snippet standing in a real X
// client. A private Xvfb, a Tk text widget with the focus, the real `sablix` binary, and the
// trigger typed through XTest. Each repetition is one expansion (SABLIX_BENCH_EXPANSIONS, default
// 500, per scenario):
//   - empty clipboard while a busy loop runs on every core (no expansion should pass 150 ms);
//   - a short text on the clipboard, and a 20 MB image on it (owned by another client each time,
//     so the save reads it across the connection): the ratio of their medians should stay <= 1.5.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RatioReporter.h"
#include "support/SablixSession.h"
#include "support/ChildProcess.h"
#include "support/XvfbServer.h"
#include "platform/Clock.h"

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;  // the Tk field stamps its changes with the wall clock
using testsupport::ChildProcess;

constexpr const char* kTrigger = ";lat";
constexpr const char* kSnippet = "Latency probe: the snippet has arrived.";
constexpr const char* kTapRunning = "Event tap registered successfully";
constexpr const char* kNoTextKey = "Dead key or modifier key pressed (no Unicode output)";
constexpr auto kBetweenKeys = std::chrono::milliseconds(15);
// The previous clipboard comes back a while after the paste; the next trigger waits for that.
constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr int kImageBytes = 20 * 1024 * 1024;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sablix-latency-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// A Tk text widget that reports every change the moment it happens: "<microseconds> <length>
// <last characters>" on its output. The test suite's field answers questions on a 20 ms poll,
// too coarse for a latency of a few tens of milliseconds.
class ReportingTkField {
public:
    explicit ReportingTkField(const std::string& directory) : output_(directory + "/field.out") {
        const auto script = directory + "/field.tcl";
        std::ofstream(script) << R"TCL(
wm title . SablixLatencyField
wm geometry . 480x240+40+40
text .t -width 60 -height 12 -undo 0
pack .t -fill both -expand 1
focus .t
bind .t <<Modified>> {
    if {[.t edit modified]} {
        set text [.t get 1.0 {end - 1 chars}]
        puts "[clock microseconds] [string length $text] [string range $text end-63 end]"
        flush stdout
        .t edit modified 0
    }
}
tkwait visibility .t
puts ready
flush stdout
)TCL";
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"wish", script}, std::vector<std::string>{},
                                                  output_);
    }

    bool focus(const std::string& display) {
        if (!waitUntil([&] { return readNewLines(), ready_; }, std::chrono::seconds(10))) return false;
        int code = -1;
        const auto ids = e2e::runOn(display, {"xdotool", "search", "--sync", "--name", "^SablixLatencyField$"}, &code);
        const auto window = ids.substr(0, ids.find('\n'));
        if (code != 0 || window.empty()) return false;
        e2e::runOn(display, {"xdotool", "windowfocus", "--sync", window}, &code);
        return code == 0;
    }

    // Waits until the widget holds `length` characters ending in `tail`; the wall-clock time it
    // changed to that, or nothing on time-out.
    std::optional<Clock::time_point> waitForText(size_t length, const std::string& tail,
                                                 std::chrono::milliseconds timeout) {
        std::optional<Clock::time_point> when;
        waitUntil(
            [&] {
                for (const auto& line : readNewLines()) {
                    std::istringstream fields(line);
                    long long micros = 0;
                    size_t seen = 0;
                    fields >> micros >> seen;
                    if (seen == length && line.size() >= tail.size() &&
                        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                        when = Clock::time_point(std::chrono::microseconds(micros));
                }
                return when.has_value();
            },
            timeout);
        return when;
    }

private:
    std::vector<std::string> readNewLines() {
        std::ifstream in(output_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(consumed_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = chunk.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(chunk.substr(start, end - start));
            if (lines.back() == "ready") ready_ = true;
        }
        consumed_ += start;
        return lines;
    }

    std::string output_;
    size_t consumed_ = 0;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> process_;
};

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

    // Types the trigger; the time from posting its last key to the snippet in the field.
    std::optional<std::chrono::duration<double>> expand() {
        const auto keys = std::string(kTrigger);
        for (size_t i = 0; i + 1 < keys.size(); ++i) {
            tap(keys[i]);
            std::this_thread::sleep_for(kBetweenKeys);
        }
        const auto posted = Clock::now();
        tap(keys.back());
        expectedLength_ += std::string(kSnippet).size();
        const auto arrived = field_->waitForText(expectedLength_, kSnippet, std::chrono::seconds(20));
        std::this_thread::sleep_for(kSettle);
        if (!arrived) return std::nullopt;
        return *arrived - posted;
    }

    // Another client takes the clipboard with these bytes and keeps it until the next call.
    bool ownClipboard(const std::string& bytes, const std::string& type) {
        clipboardOwner_.reset();
        const auto file = directory_ + "/clipboard";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        const Window before = XGetSelectionOwner(display_, clipboard_);
        clipboardOwner_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-t", type, "-i", file},
            std::vector<std::string>{"DISPLAY=" + server_.display()});
        return waitUntil(
            [&] {
                const Window owner = XGetSelectionOwner(display_, clipboard_);
                return owner != None && owner != before;
            },
            std::chrono::seconds(10));
    }

private:
    Rig() {
        directory_ = temporaryDirectory();
        if (!server_.started() || directory_.empty()) {
            failure_ = "Xvfb did not start";
            return;
        }
        server_.exportDisplay();
        display_ = XOpenDisplay(server_.display().c_str());
        if (!display_) {
            failure_ = "cannot open the display";
            return;
        }
        clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
        field_ = std::make_unique<ReportingTkField>(directory_);
        if (!field_->focus(server_.display())) {
            failure_ = "the Tk field did not start";
            return;
        }
        session_ = std::make_unique<e2e::SablixSession>(server_.display());
        session_->storeLibrary(
            {sablix::SnippetItem(platform::Uuid::generate(), std::string(kTrigger).substr(1), kSnippet, {}, kClock)});
        if (!session_->start() || !session_->waitForLog(kTapRunning)) {
            failure_ = "sablix did not start its tap:\n" + session_->log();
            return;
        }
        // The recording starts a little after the tap says so: a Shift press shows when.
        const bool seesKeys = waitUntil(
            [&] {
                const size_t before = session_->logCount(kNoTextKey);
                tapKeysym(XK_Shift_L);
                return session_->waitForLog(kNoTextKey, 500, before + 1);
            },
            std::chrono::seconds(20));
        if (!seesKeys) failure_ = "sablix does not see the keys:\n" + session_->log();
    }

    ~Rig() {
        if (display_) XCloseDisplay(display_);
        session_.reset();
        clipboardOwner_.reset();
        field_.reset();
        std::error_code ignored;
        if (!directory_.empty()) fs::remove_all(directory_, ignored);
    }

    void tap(char c) {
        const std::string name = c == ';' ? "semicolon" : std::string(1, c);
        tapKeysym(XStringToKeysym(name.c_str()));
    }
    void tapKeysym(KeySym keysym) {
        const KeyCode code = XKeysymToKeycode(display_, keysym);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
    }

    testsupport::XvfbServer server_;
    std::string directory_;
    std::string failure_;
    Display* display_ = nullptr;
    Atom clipboard_ = None;
    std::unique_ptr<ReportingTkField> field_;
    std::unique_ptr<e2e::SablixSession> session_;
    std::unique_ptr<ChildProcess> clipboardOwner_;
    size_t expectedLength_ = 0;
};

std::unique_ptr<CpuLoad> load;

// One repetition of a scenario is one expansion; `prepare` sets the scene before it.
void expansion(benchmark::State& state, const std::function<bool(Rig&)>& prepare) {
    auto& rig = Rig::instance();
    for (auto _ : state) {
        if (!rig.failure().empty()) {
            state.SkipWithError(rig.failure().c_str());
            break;
        }
        if (!prepare(rig)) {
            state.SkipWithError("the clipboard could not be given to another client");
            break;
        }
        const auto latency = rig.expand();
        if (!latency) {
            state.SkipWithError("the snippet did not arrive within 20 s");
            break;
        }
        state.SetIterationTime(latency->count());
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
    return n > 0 ? n : 500;
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
    return status;
}
