// What the application holds while it waits in the background, and what showing its window again
// costs. The real `sablix` binary on a private Xvfb under a window manager, with a library of 3
// and of 10,000 snippets, and a Tk text field as the other application. Each repetition closes
// the main window as the window manager's close button does (WM_DELETE_WINDOW), focuses the
// field, and opens the window again with the hot key; its time is from the key to the window
// being viewable. Then the resident set (VmRSS), settled, with the window open and with it closed
// (counters rss_open_MiB and rss_closed_MiB). SABLIX_BENCH_WINDOW_CYCLES sets the repetitions
// (default 7). StartUp_<n>: from the start of `sablix` with a library of n snippets to its keystroke
// tap registered (what a user waits at login before a trigger expands), median of 5.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Smoke.h"
#include "RatioReporter.h"
#include "platform/Clock.h"
#include "support/SablixSession.h"
#include "support/TkTextField.h"
#include "support/XvfbServer.h"

// After our own headers: Xlib defines macros (Bool, None, Status) that they would trip over.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

// Dates the benchmark's snippets.
const platform::FakeClock kClock;

constexpr const char* kTapRunning = "Event tap registered successfully";
constexpr const char* kHotkeyRegistered = "Hotkey registered";
constexpr const char* kWindowTitle = "Sablix";
// Memory is read once the application has been left alone this long.
// How long the process idles before its resident set is read (a moment in the smoke run).
const auto kSettle = smokeOr<std::chrono::milliseconds>(std::chrono::seconds(5), std::chrono::milliseconds(200));
constexpr auto kWindowTimeout = std::chrono::seconds(20);

double residentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One `sablix` on a display of its own, seen through a connection of the benchmark's.
class Rig {
public:
    explicit Rig(size_t snippets) {
        if (!server_.started() || !server_.startWindowManager()) {
            failure_ = "Xvfb or its window manager did not start";
            return;
        }
        // Windows come and go while the tree is walked; a window gone meanwhile is simply skipped.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        display_ = XOpenDisplay(server_.display().c_str());
        if (!display_) {
            failure_ = "cannot open the display";
            return;
        }
        if (!field_.start(server_.display())) {
            failure_ = "the Tk field did not start";
            return;
        }
        session_ = std::make_unique<e2e::SablixSession>(server_.display());
        session_->storeLibrary(sampleLibrary(snippets, kClock));
        if (!session_->start() || !session_->waitForLog(kTapRunning) || !session_->waitForLog(kHotkeyRegistered) ||
            !mainWindow()) {
            failure_ = "sablix did not start with its window:\n" + session_->log();
            return;
        }
    }
    ~Rig() {
        session_.reset();
        if (display_) XCloseDisplay(display_);
    }

    const std::string& failure() const { return failure_; }
    pid_t pid() const { return session_->pid(); }

    // The viewable main window, if there is one.
    std::optional<Window> mainWindow() { return find(DefaultRootWindow(display_)); }

    // As the window manager's close button asks.
    bool close() {
        const auto window = mainWindow();
        if (!window) return false;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = *window;
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, *window, False, NoEventMask, &event);
        XFlush(display_);
        // The user goes on in another application, from which the hot key brings the window back.
        return waitUntil([&] { return !mainWindow(); }, kWindowTimeout) && field_.focus();
    }

    // Presses the hot key (Ctrl+Space) and answers how long the window took to become viewable.
    std::optional<std::chrono::duration<double>> open() {
        const auto start = std::chrono::steady_clock::now();
        const KeyCode control = XKeysymToKeycode(display_, XK_Control_L);
        const KeyCode space = XKeysymToKeycode(display_, XK_space);
        XTestFakeKeyEvent(display_, control, True, CurrentTime);
        XTestFakeKeyEvent(display_, space, True, CurrentTime);
        XTestFakeKeyEvent(display_, space, False, CurrentTime);
        XTestFakeKeyEvent(display_, control, False, CurrentTime);
        XFlush(display_);
        if (!waitUntil([&] { return mainWindow().has_value(); }, kWindowTimeout)) return std::nullopt;
        return std::chrono::steady_clock::now() - start;
    }

private:
    std::optional<Window> find(Window parent) {
        Window root = 0, parentOut = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display_, parent, &root, &parentOut, &children, &count)) return std::nullopt;
        std::optional<Window> found;
        for (unsigned int i = 0; i < count && !found; ++i) {
            XWindowAttributes attributes{};
            if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable)
                continue;
            char* name = nullptr;
            if (XFetchName(display_, children[i], &name) && name) {
                if (std::string(name) == kWindowTitle) found = children[i];
                XFree(name);
            }
            if (!found) found = find(children[i]);
        }
        if (children) XFree(children);
        return found;
    }

    testsupport::XvfbServer server_;
    testsupport::TkTextField field_;
    Display* display_ = nullptr;
    std::unique_ptr<e2e::SablixSession> session_;
    std::string failure_;
};

int cycles() {
    const char* text = std::getenv("SABLIX_BENCH_WINDOW_CYCLES");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : smokeOr(7, 1);
}

// The rig of the size under test, kept across that size's benchmarks.
std::unique_ptr<Rig> rig;
size_t rigSize = 0;

Rig& rigFor(size_t snippets) {
    if (!rig || rigSize != snippets) {
        rig.reset();
        rig = std::make_unique<Rig>(snippets);
        rigSize = snippets;
    }
    return *rig;
}

void reopenWindow(benchmark::State& state, size_t snippets) {
    Rig& r = rigFor(snippets);
    for (auto _ : state) {
        if (!r.failure().empty()) {
            state.SkipWithError(r.failure().c_str());
            break;
        }
        if (!r.close()) {
            state.SkipWithError("the main window did not close");
            break;
        }
        const auto took = r.open();
        if (!took) {
            state.SkipWithError("the hot key did not show the main window");
            break;
        }
        state.SetIterationTime(took->count());
    }
}

void residentSet(benchmark::State& state, size_t snippets) {
    Rig& r = rigFor(snippets);
    for (auto _ : state) {
        if (!r.failure().empty()) {
            state.SkipWithError(r.failure().c_str());
            break;
        }
        std::this_thread::sleep_for(kSettle);
        state.counters["rss_open_MiB"] = residentMiB(r.pid());
        if (!r.close()) {
            state.SkipWithError("the main window did not close");
            break;
        }
        std::this_thread::sleep_for(kSettle);
        state.counters["rss_closed_MiB"] = residentMiB(r.pid());
        state.SetIterationTime(0);
        r.open();
    }
}

void startUp(benchmark::State& state, size_t snippets) {
    rig.reset();  // one application on the machine at a time
    testsupport::XvfbServer server;
    if (!server.started() || !server.startWindowManager()) {
        state.SkipWithError("Xvfb or its window manager did not start");
        return;
    }
    const auto library = sampleLibrary(snippets, kClock);
    for (auto _ : state) {
        e2e::SablixSession session(server.display());
        session.storeLibrary(library);
        const auto started = std::chrono::steady_clock::now();
        if (!session.launch() ||
            !waitUntil([&] { return session.logCount(kTapRunning) > 0; }, std::chrono::seconds(30))) {
            state.SkipWithError(("sablix did not register its tap:\n" + session.log()).c_str());
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (size_t snippets : {size_t{3}, size_t{10'000}}) {
        const std::string size = std::to_string(snippets);
        benchmark::RegisterBenchmark(("ReopenWindow_" + size).c_str(),
                                     [snippets](benchmark::State& state) { reopenWindow(state, snippets); })
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(cycles())
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("ResidentSet_" + size).c_str(),
                                     [snippets](benchmark::State& state) { residentSet(state, snippets); })
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    for (size_t snippets : smokeOr<std::vector<size_t>>({100, 10'000, 50'000}, {100})) {
        benchmark::RegisterBenchmark(("StartUp_" + std::to_string(snippets)).c_str(),
                                     [snippets](benchmark::State& state) { startUp(state, snippets); })
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(smokeOr(5, 1))
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond);
    }
    const int status = runBenchmarksWithRatios(
        argc, argv,
        {{"reopening the window, 10,000 : 3 snippets", "ReopenWindow_10000:median", "ReopenWindow_3:median"},
         {"start-up, 10,000 : 100 snippets", "StartUp_10000:median", "StartUp_100:median"},
         {"start-up, 50,000 : 10,000 snippets (linear is 5)", "StartUp_50000:median", "StartUp_10000:median"}});
    rig.reset();
    return status;
}
