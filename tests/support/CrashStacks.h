#pragma once
// Stacks of a crashed process two ways: as its crash report lists them (protoc's text of the
// report) and as gdb unwinds them from its core file.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace crashstacks {

struct Frame {
    uint64_t pc = 0;
    std::string name;
};

struct ReportThread {
    bool crashed = false;
    size_t registers = 0;
    std::vector<uint64_t> pcs;
};

// The "threads" blocks of protoc's text of a report, in order.
inline std::vector<ReportThread> reportThreads(const std::string& text) {
    std::vector<ReportThread> threads;
    std::istringstream lines(text);
    bool inThread = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ' ') {
            inThread = line == "threads {";
            if (inThread) threads.emplace_back();
            continue;
        }
        if (!inThread) continue;
        if (line == "  crashed: true") threads.back().crashed = true;
        if (line == "  registers {") ++threads.back().registers;
        if (line.rfind("    pc: ", 0) == 0) threads.back().pcs.push_back(std::stoull(line.substr(8)));
    }
    return threads;
}

// Every thread of the core as gdb unwinds it, inlined frames left out (they share their pc with
// the frame that holds them).
inline std::vector<std::vector<Frame>> gdbThreads(const std::filesystem::path& program,
                                                  const std::filesystem::path& core,
                                                  const std::filesystem::path& scratch) {
    const auto script = scratch / "frames.py";
    std::ofstream(script) << R"(import gdb
gdb.execute("set backtrace past-main on")
for t in gdb.selected_inferior().threads():
    t.switch()
    print("T")
    f = gdb.newest_frame()
    while f is not None:
        if f.type() != gdb.INLINE_FRAME:
            print("F", f.pc(), f.name() or "?")
        f = f.older()
)";
    int code = -1;
    std::istringstream out(testsupport::runCommand(
        {"gdb", "-batch", "-nx", "-x", script.string(), program.string(), core.string()}, &code, 120000));
    std::vector<std::vector<Frame>> threads;
    for (std::string line; std::getline(out, line);) {
        if (line == "T") threads.emplace_back();
        if (line.rfind("F ", 0) == 0 && !threads.empty()) {
            std::istringstream fields(line.substr(2));
            Frame frame;
            fields >> frame.pc;
            std::getline(fields >> std::ws, frame.name);
            threads.back().push_back(frame);
        }
    }
    return threads;
}

// The core file a crash left in `dir`; empty when there is none.
inline std::filesystem::path coreIn(const std::filesystem::path& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind("core", 0) == 0) return entry.path();
    return {};
}

// Why no core file can be expected here; empty when one can.
inline std::string coreUnavailable() {
    std::ifstream in("/proc/sys/kernel/core_pattern");
    std::string pattern;
    std::getline(in, pattern);
    if (!pattern.empty() && pattern[0] == '|') return "cores go to a program (" + pattern + "), not to a file";
    return "";
}

}  // namespace crashstacks
