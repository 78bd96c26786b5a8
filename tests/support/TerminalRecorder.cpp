#include "support/TerminalRecorder.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace testsupport {
namespace {

namespace fs = std::filesystem;

std::string uniqueTitle() {
    static std::atomic<int> counter{0};
    return "SablixTerminal" + std::to_string(getpid()) + "x" + std::to_string(++counter);
}

}  // namespace

TerminalRecorder::TerminalRecorder(std::string program) : program_(std::move(program)), title_(uniqueTitle()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sablix-term-XXXXXX";
    if (char* made = ::mkdtemp(pattern.data())) directory_ = made;
}

TerminalRecorder::~TerminalRecorder() {
    process_.reset();
    std::error_code ignored;
    if (!directory_.empty()) fs::remove_all(directory_, ignored);
}

bool TerminalRecorder::start(const std::string& display) {
    if (directory_.empty() || process_) return false;
    display_ = display;
    const std::string file = directory_ + "/received";
    // The file appears only once stty has made the input raw, so nothing typed before is cooked.
    const std::string script = "stty raw -echo && exec cat > '" + file + "'";
    process_ =
        std::make_unique<ChildProcess>(std::vector<std::string>{program_, "-title", title_, "-e", "sh", "-c", script},
                                       std::vector<std::string>{"DISPLAY=" + display});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(file)) {
        if (!process_->running() || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int code = -1;
    const auto out =
        runCommand({"xdotool", "search", "--sync", "--name", "^" + title_ + "$"}, &code, 10000, {"DISPLAY=" + display});
    std::istringstream lines(out);
    std::string first;
    std::getline(lines, first);
    window_ = first.empty() ? 0 : std::strtoul(first.c_str(), nullptr, 10);
    return window_ != 0;
}

bool TerminalRecorder::focus() { return focusWindow(display_, window_); }

std::string TerminalRecorder::received() const { return fileContents(directory_ + "/received"); }

std::string TerminalRecorder::line() const {
    std::string out;
    for (const char c : received()) {
        if (c != '\x7f' && c != '\b') {
            out.push_back(c);
            continue;
        }
        // One character: its UTF-8 continuation bytes and its lead byte.
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
        if (!out.empty()) out.pop_back();
    }
    return out;
}

}  // namespace testsupport
