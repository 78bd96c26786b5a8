#include "support/TkTextField.h"
#include "support/Wait.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace testsupport {
namespace {

namespace fs = std::filesystem;

// The script answers "get" with the text, "clear" by emptying the widget first and "stall KEY MS"
// by making the key block the application from then on. The result is written to a temporary name
// and renamed, so a reader never sees half of it. Every change of the text appends its wall-clock
// time and the new length to the file "changes" the moment the widget makes it.
constexpr const char* kScript = R"TCL(
set dir {%DIR%}
wm title . {%TITLE%}
wm geometry . 480x240+40+40
text .t -width 60 -height 12 -undo 0
pack .t -fill both -expand 1
focus .t
proc answer {} {
    global dir
    set request [file join $dir request]
    if {[file exists $request]} {
        set f [open $request r]
        set command [string trim [read $f]]
        close $f
        if {$command eq "clear"} { .t delete 1.0 end }
        if {[lindex $command 0] eq "stall"} { bind .t <KeyPress-[lindex $command 1]> [list after [lindex $command 2]] }
        set out [open [file join $dir result.tmp] w]
        fconfigure $out -encoding utf-8 -translation lf
        puts -nonewline $out [.t get 1.0 {end - 1 chars}]
        close $out
        file rename -force [file join $dir result.tmp] [file join $dir result]
        file delete $request
    }
    after 20 answer
}
bind .t <<Modified>> {
    if {[.t edit modified]} {
        set changes [open [file join $dir changes] a]
        puts $changes "[clock microseconds] [string length [.t get 1.0 {end - 1 chars}]]"
        close $changes
        .t edit modified 0
    }
}
tkwait visibility .t
close [open [file join $dir ready] w]
answer
)TCL";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string uniqueTitle() {
    static std::atomic<int> counter{0};
    return "SablixTkField" + std::to_string(getpid()) + "x" + std::to_string(++counter);
}

}  // namespace

TkTextField::TkTextField() : title_(uniqueTitle()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sablix-tk-XXXXXX";
    if (char* made = ::mkdtemp(pattern.data())) directory_ = made;
}

TkTextField::~TkTextField() {
    stop();
    if (!directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
}

bool TkTextField::start(const std::string& display) {
    if (directory_.empty() || process_) return false;
    display_ = display;
    const auto scriptPath = directory_ + "/field.tcl";
    {
        std::ofstream script(scriptPath);
        script << replaced(replaced(kScript, "%DIR%", directory_), "%TITLE%", title_);
        if (!script) return false;
    }
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"wish", scriptPath, "-name", "tkfield"},
                                              std::vector<std::string>{"DISPLAY=" + display});
    const auto ready = directory_ + "/ready";
    if (!waitUntil([&] { return fs::exists(ready) || !process_->running(); }, 10000) || !process_->running()) {
        stop();
        return false;
    }
    int code = -1;
    const auto out =
        runCommand({"xdotool", "search", "--sync", "--name", "^" + title_ + "$"}, &code, 5000, {"DISPLAY=" + display});
    std::istringstream lines(out);
    std::string first;
    std::getline(lines, first);
    window_ = first.empty() ? 0 : std::strtoul(first.c_str(), nullptr, 10);
    if (window_ == 0) return false;
    runCommand({"xprop", "-id", std::to_string(window_), "-f", "_NET_WM_PID", "32c", "-set", "_NET_WM_PID",
                std::to_string(process_->pid())},
               &code, 5000, {"DISPLAY=" + display});
    return code == 0;
}

bool TkTextField::focus() {
    if (window_ == 0) return false;
    const std::vector<std::string> environment = {"DISPLAY=" + display_};
    int code = -1;
    // Under a window manager the window is activated through it, so the manager's active window
    // agrees with the focus (Sablix ignores keys while the active window is its own). A busy
    // manager may take longer than one request waits: ask until the manager says so. Without a
    // manager there is no active window to agree with, and the focus alone is set.
    const std::string id = std::to_string(window_);
    waitUntil(
        [&] {
            runCommand({"xdotool", "windowactivate", "--sync", id}, &code, 3000, environment);
            int activeCode = -1;
            const std::string active = runCommand({"xdotool", "getactivewindow"}, &activeCode, 3000, environment);
            return activeCode != 0 || std::strtoul(active.c_str(), nullptr, 10) == window_;
        },
        20000);
    runCommand({"xdotool", "windowfocus", "--sync", id}, &code, 5000, environment);
    return code == 0;
}

bool TkTextField::request(const std::string& command, int timeoutMs) {
    if (!process_ || directory_.empty()) return false;
    std::error_code ignored;
    fs::remove(directory_ + "/result", ignored);
    {
        std::ofstream out(directory_ + "/request.tmp");
        out << command;
        if (!out) return false;
    }
    fs::rename(directory_ + "/request.tmp", directory_ + "/request", ignored);
    if (ignored) return false;
    return waitUntil([&] { return !fs::exists(directory_ + "/request") && fs::exists(directory_ + "/result"); },
                     timeoutMs);
}

std::string TkTextField::contents(int timeoutMs) {
    if (!request("get", timeoutMs)) return kNoAnswer;
    std::ifstream in(directory_ + "/result", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TkTextField::waitForContents(const std::string& expected, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string seen = contents(timeoutMs);
    while (seen != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        seen = contents(timeoutMs);
    }
    return seen;
}

bool TkTextField::clear(int timeoutMs) { return request("clear", timeoutMs); }

bool TkTextField::stallOnKey(const std::string& keysym, std::chrono::milliseconds stall) {
    return request("stall " + keysym + " " + std::to_string(stall.count()), 5000);
}

std::vector<TkTextField::Change> TkTextField::newChanges() {
    std::vector<Change> changes;
    std::ifstream in(directory_ + "/changes", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(changesRead_));
    const std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    // A line still being written has no newline yet: it is read on the next call.
    for (size_t end; (end = chunk.find('\n', start)) != std::string::npos; start = end + 1) {
        std::istringstream fields(chunk.substr(start, end - start));
        long long micros = 0;
        size_t length = 0;
        if (fields >> micros >> length)
            changes.push_back({std::chrono::system_clock::time_point(std::chrono::microseconds(micros)), length});
    }
    changesRead_ += start;
    return changes;
}

pid_t TkTextField::pid() const { return process_ ? process_->pid() : -1; }

void TkTextField::stop() {
    if (process_) process_->stop();
    process_.reset();
    window_ = 0;
}

}  // namespace testsupport
