// What a user waits for: from the last key of a trigger to the snippet standing in a real X
// client. A private Xvfb with a window manager, a Tk text widget with the focus, the real `sablix`
// binary, and the trigger typed through XTest into the emptied field. Each repetition is one
// expansion (SABLIX_BENCH_EXPANSIONS, default 500, 3 in the smoke run, per scenario):
//   - beside a peer, AutoKey (Debian's autokey-gtk, installed by bench/setup-peer; skipped when
//     missing), idle and with a busy loop on every core: each repetition expands Sablix's trigger
//     and then the peer's phrase, which has the same text and a trigger as long, typed the same way
//     into the same field. Sablix's fixed 50 ms pause after erasing keeps its median behind the
//     peer's; its tail under load should be no worse. Printed after the table: both distributions,
//     their ratio, and where Sablix's expansions spent their time (the engine's own stamps, which a
//     build with the probe logs);
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
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Expansion/HopLog.h"
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
// The peer's phrase: the same text behind a trigger of the same length that Sablix does not know
// (both watch every key, so each leaves the other's trigger alone).
constexpr const char* kPeerTrigger = ";lau";
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
constexpr int kPeerStartTimeoutMs = 30000;
constexpr int kHopLineTimeoutMs = 2000;

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

// AutoKey with one phrase, in a home folder of its own on the bench's display, on a session bus
// of its own. Its configuration is written as AutoKey itself writes it: the settings in
// autokey/autokey.json, each folder under autokey/data/ with a ".folder.json", each phrase as
// "<name>.txt" (the text) beside ".<name>.json" (its trigger and how it is sent).
class Peer {
public:
    static constexpr const char* kProgram = "autokey-gtk";
    static bool installed() {
        int code = -1;
        testsupport::runCommand({"sh", "-c", std::string("command -v ") + kProgram}, &code, 5000);
        return code == 0;
    }

    Peer(const std::string& display, const std::string& directory) : home_(directory + "/peer-home") {
        const fs::path config = fs::path(home_) / ".config" / "autokey";
        const fs::path folder = config / "data" / "Bench";
        fs::create_directories(folder);
        std::ofstream(config / "autokey.json") << settings().dump(4);
        std::ofstream(folder / ".folder.json") << folderJson().dump(4);
        std::ofstream(folder / "Latency.txt", std::ios::binary) << kSnippet;
        std::ofstream(folder / ".Latency.json") << phraseJson().dump(4);

        const std::string bus = "unix:path=" + directory + "/peer-bus";
        bus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus});
        const std::vector<std::string> environment{"DISPLAY=" + display,
                                                   "HOME=" + home_,
                                                   "XDG_CONFIG_HOME=" + home_ + "/.config",
                                                   "XDG_DATA_HOME=" + home_ + "/.local/share",
                                                   "XDG_CACHE_HOME=" + home_ + "/.cache",
                                                   "DBUS_SESSION_BUS_ADDRESS=" + bus,
                                                   "NO_AT_BRIDGE=1"};
        waitUntil([&] { return fs::exists(directory + "/peer-bus"); }, kPeerStartTimeoutMs);
        log_ = directory + "/peer.log";
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{kProgram, "--verbose"}, environment, log_);
    }

    // Waits until it records the keys; false with the reason when it does not.
    bool waitUntilListening(std::string& failure) const {
        if (waitUntil(
                [&] {
                    return testsupport::fileContents(log_).find("XRecord interface thread starting") !=
                           std::string::npos;
                },
                kPeerStartTimeoutMs))
            return true;
        failure = "AutoKey did not start listening:\n" + testsupport::fileContents(log_);
        return false;
    }
    std::string log() const { return testsupport::fileContents(log_); }

private:
    static nlohmann::json abbreviation(std::vector<std::string> abbreviations) {
        // Expands as soon as the trigger is typed, wherever it stands, like Sablix.
        return {{"abbreviations", abbreviations}, {"backspace", true},   {"ignoreCase", false}, {"immediate", true},
                {"triggerInside", true},          {"wordChars", "[\\w]"}};
    }
    static nlohmann::json settings() {
        return {
            {"version", "0.95.10"},
            {"userCodeDir", nullptr},
            {"settings",
             {{"isFirstRun", false},
              {"serviceRunning", true},
              {"menuTakesFocus", false},
              {"showTrayIcon", false},
              {"sortByUsageCount", true},
              {"promptToSave", false},
              {"enableQT4Workaround", false},
              {"interfaceType", "XRecord"},
              {"undoUsingBackspace", false},
              {"windowDefaultSize", nlohmann::json::array({600, 400})},
              {"hPanePosition", 150},
              {"columnWidths", nlohmann::json::array({150, 50, 100})},
              {"showToolbar", true},
              {"notificationIcon", "autokey-status"},
              {"workAroundApps", ".*VirtualBox.*|krdc.Krdc"},
              {"triggerItemByInitial", false},
              {"disabledModifiers", nlohmann::json::array()},
              {"scriptGlobals", nlohmann::json::object()}}},
            {"folders", nlohmann::json::array()},
            {"toggleServiceHotkey",
             {{"enabled", false}, {"modifiers", nlohmann::json::array({"<shift>", "<super>"})}, {"hotKey", "k"}}},
            {"configHotkey", {{"enabled", false}, {"modifiers", nlohmann::json::array({"<super>"})}, {"hotKey", "k"}}}};
    }
    static nlohmann::json folderJson() {
        return {{"type", "folder"},
                {"title", "Bench"},
                {"modes", nlohmann::json::array()},
                {"usageCount", 0},
                {"showInTrayMenu", false},
                {"abbreviation", abbreviation({})},
                {"hotkey", {{"modifiers", nlohmann::json::array()}, {"hotKey", nullptr}}},
                {"filter", {{"regex", nullptr}, {"isRecursive", false}}}};
    }
    static nlohmann::json phraseJson() {
        return {{"type", "phrase"},
                {"description", "Latency"},
                {"modes", nlohmann::json::array({1})},  // by its abbreviation
                {"usageCount", 0},
                {"prompt", false},
                {"omitTrigger", false},
                {"matchCase", false},
                {"showInTrayMenu", false},
                {"abbreviation", abbreviation({kPeerTrigger})},
                {"hotkey", {{"modifiers", nlohmann::json::array()}, {"hotKey", nullptr}}},
                {"filter", {{"regex", nullptr}, {"isRecursive", false}}},
                {"sendMode", "kb"}};  // its default: typed as keys
    }

    std::string home_;
    std::string log_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> process_;
};

// When a Sablix expansion reached each step, in milliseconds after the last key of the trigger was
// posted; the engine's stamps come from its log.
struct Hops {
    static constexpr const char* kSteps[] = {
        "X server to the tap",      "tap to the key handler",           "key handling",
        "to the replacement queue", "erasing, 50 ms pause included",    "snippet onto the clipboard",
        "paste key posted",         "application fetched and showed it"};
    static constexpr size_t kCount = std::size(kSteps);
    double step[kCount] = {};  // the duration of each step
};

// Everything an expansion needs, started once for the whole program.
class Rig {
public:
    static Rig& instance() {
        static Rig rig;
        return rig;
    }

    const std::string& failure() const { return failure_; }

    const std::string& peerStatus() const { return peerStatus_; }
    bool hasPeer() const { return peer_ != nullptr; }

    // One expansion: its latency, or why there is none.
    struct Outcome {
        std::chrono::duration<double> latency{};
        const char* failure = nullptr;
        Clock::time_point posted{};  // the trigger's last key
    };

    // Empties the field, types the trigger (Sablix's, or the peer's), and measures from posting
    // its last key to the snippet standing in the field.
    Outcome expand(const char* trigger = kTrigger) {
        // Each expansion types into an empty field: a field that keeps every snippet slows down
        // with its line and would be measured along with Sablix.
        if (!desk_.field.clear()) return {.failure = "the Tk field could not be emptied"};
        desk_.field.newChanges();
        const auto keys = std::string(trigger);
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
        return {.latency = *arrived - posted, .posted = posted};
    }

    // The steps of Sablix's latest expansion, from the line its engine logged for it.
    std::optional<Hops> sablixHops(const Outcome& outcome) {
        std::optional<Hops> hops;
        waitUntil(
            [&] {
                const std::string log = desk_.session.log();
                const size_t at = log.find(sablix::HopLog::kPrefix, logRead_);
                if (at == std::string::npos) return false;
                logRead_ = at + 1;
                long long tapped = 0, t[6] = {};
                const std::string format =
                    std::string(sablix::HopLog::kPrefix) +
                    " tapped %lld; handling +%lld, handled +%lld, replacing +%lld, erased +%lld, "
                    "on clipboard +%lld, pasted +%lld";
                if (std::sscanf(log.c_str() + at, format.c_str(), &tapped, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]) !=
                    7)
                    return true;
                const double posted =
                    std::chrono::duration<double, std::milli>(outcome.posted.time_since_epoch()).count();
                // Each stamp in milliseconds on the wall clock, from the key's post to the arrival.
                double stamps[Hops::kCount + 1] = {posted, tapped / 1000.0};
                for (int i = 0; i < 6; ++i) stamps[2 + i] = (tapped + t[i]) / 1000.0;
                stamps[Hops::kCount] = posted + outcome.latency.count() * 1000;
                hops = Hops{};
                for (size_t i = 0; i < Hops::kCount; ++i) hops->step[i] = stamps[i + 1] - stamps[i];
                return true;
            },
            kHopLineTimeoutMs);
        return hops;
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
        // The peer first: whatever window it may bring up, the field takes the focus after both.
        if (!Peer::installed()) {
            peerStatus_ = "AutoKey (autokey-gtk) is not installed: the peer is skipped (bench/setup-peer installs it)";
        } else {
            peer_ = std::make_unique<Peer>(desk_.display(), directory_);
            if (!peer_->waitUntilListening(peerStatus_)) peer_.reset();
        }
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
        if (!desk_.field.focus() || !session.waitUntilTapSeesKeys()) {
            failure_ = "sablix does not see the keys:\n" + session.log();
            return;
        }
        // The peer's first expansion loads what it needs; it is not measured.
        if (peer_) {
            if (const auto outcome = expand(kPeerTrigger); outcome.failure) {
                peerStatus_ =
                    std::string("AutoKey did not expand its phrase (") + outcome.failure + "):\n" + peer_->log();
                peer_.reset();
            }
        }
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
    std::string peerStatus_;
    std::unique_ptr<Peer> peer_;
    size_t logRead_ = 0;  // where Sablix's log was read up to for expansion stamps
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

// Sablix's latencies and the peer's, in milliseconds, and Sablix's steps, per scenario.
struct BesidePeer {
    std::vector<double> sablix;
    std::vector<double> peer;
    std::vector<Hops> hops;
};
std::map<std::string, BesidePeer> besidePeer;
std::vector<std::string> besidePeerScenarios;  // in the order they run

// One repetition: Sablix's expansion, then the peer's, so both meet the same moments of the machine.
void alternating(benchmark::State& state, const std::string& scenario, bool busy) {
    auto& rig = Rig::instance();
    auto& results = besidePeer[scenario];
    for (auto _ : state) {
        if (busy && !load) load = std::make_unique<CpuLoad>();
        if (!busy) load.reset();
        const char* failure = !rig.failure().empty() ? rig.failure().c_str() : nullptr;
        const auto outcome = failure ? Rig::Outcome{.failure = failure} : rig.expand();
        const auto peer = outcome.failure || !rig.hasPeer() ? Rig::Outcome{} : rig.expand(kPeerTrigger);
        if (outcome.failure || peer.failure) {
            ++failedExpansions;
            state.SkipWithError(outcome.failure ? outcome.failure : peer.failure);
            break;
        }
        results.sablix.push_back(outcome.latency.count() * 1000);
        if (rig.hasPeer()) results.peer.push_back(peer.latency.count() * 1000);
        if (const auto hops = rig.sablixHops(outcome)) results.hops.push_back(*hops);
        state.SetIterationTime(outcome.latency.count());
    }
}

double percentile(std::vector<double> v, double share) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(share * static_cast<double>(v.size())))];
}

void printBesidePeer() {
    std::printf("\n");
    if (!Rig::instance().peerStatus().empty()) std::printf("%s\n", Rig::instance().peerStatus().c_str());
    for (const auto& scenario : besidePeerScenarios) {
        const BesidePeer& r = besidePeer[scenario];
        if (r.sablix.empty()) continue;  // filtered out, or failed
        const auto line = [](const char* who, const std::vector<double>& v) {
            std::printf("  %-7s n=%zu  median %6.1f ms  p95 %6.1f  max %6.1f\n", who, v.size(), percentile(v, 0.5),
                        percentile(v, 0.95), percentile(v, 1.0));
        };
        std::printf("%s:\n", scenario.c_str());
        line("Sablix", r.sablix);
        if (!r.peer.empty()) {
            line("AutoKey", r.peer);
            std::printf("  Sablix : AutoKey  median %.2f  p95 %.2f  max %.2f\n",
                        percentile(r.sablix, 0.5) / percentile(r.peer, 0.5),
                        percentile(r.sablix, 0.95) / percentile(r.peer, 0.95),
                        percentile(r.sablix, 1.0) / percentile(r.peer, 1.0));
        }
        if (r.hops.empty()) {
            std::printf("  (no steps: the engine logs them only in a build with the probe)\n");
            continue;
        }
        std::printf("  where Sablix's time goes (n=%zu)      median      p95      max (ms)\n", r.hops.size());
        for (size_t i = 0; i < Hops::kCount; ++i) {
            std::vector<double> step;
            for (const auto& h : r.hops) step.push_back(h.step[i]);
            std::printf("    %-36s %8.3f %8.3f %8.3f\n", Hops::kSteps[i], percentile(step, 0.5), percentile(step, 0.95),
                        percentile(step, 1.0));
        }
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

void registerBesidePeer(const char* name, bool busy) {
    besidePeerScenarios.push_back(name);
    benchmark::RegisterBenchmark(name, [name, busy](benchmark::State& state) { alternating(state, name, busy); })
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(expansionsPerScenario())
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("p95", percentile95)
        ->ComputeStatistics("max", maximum)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    registerBesidePeer("BesideAutoKeyIdle", false);
    registerBesidePeer("BesideAutoKeyEveryCoreBusy", true);
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
    printBesidePeer();
    return failedExpansions > 0 ? 1 : status;
}
