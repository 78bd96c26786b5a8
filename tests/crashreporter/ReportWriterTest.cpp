// The report writer, end to end: a crashing program writes its report from a bare signal handler
// and dies; the report is read by protoc and its stacks are compared with what gdb finds in the
// core.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/CrashStacks.h"
#include "support/ReportFixtures.h"

namespace {

namespace fs = std::filesystem;

using crashstacks::Frame;
using crashstacks::ReportThread;
using crashstacks::coreIn;
using crashstacks::coreUnavailable;
using crashstacks::reportThreads;

struct CrasherRun {
    fs::path dir;
    int status = -1;
    std::vector<std::string> results;
    std::string report;  // raw file
    std::string text;    // protoc's decoding
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CrasherRun runCrasher(const std::string& mode) {
    CrasherRun run;
    run.dir = fs::temp_directory_path() / ("obcrash-writer-" + mode + "-" + std::to_string(getpid()));
    fs::remove_all(run.dir);
    fs::create_directories(run.dir);
    testsupport::ChildProcess child({OBCRASH_CRASHER, mode, run.dir.string()}, {}, (run.dir / "output").string());
    run.status = child.wait(60000);
    std::istringstream lines(slurp(run.dir / "result"));
    for (std::string line; std::getline(lines, line);) run.results.push_back(line);
    run.report = slurp(run.dir / "report.obcrash");
    if (run.report.size() > 8) run.text = reportfixtures::protoc("--decode=obcrash.CrashReport", run.report.substr(8));
    return run;
}

// gdb's frames from the first one in the crasher's own code outward; empty when it has none.
std::vector<uint64_t> fromCrasherCode(const std::vector<Frame>& frames, const std::vector<std::string>& functions) {
    const auto first = std::find_if(frames.begin(), frames.end(), [&](const Frame& frame) {
        return std::any_of(functions.begin(), functions.end(),
                           [&](const std::string& f) { return frame.name.find(f) != std::string::npos; });
    });
    std::vector<uint64_t> pcs;
    for (auto it = first; it != frames.end(); ++it) pcs.push_back(it->pc);
    return pcs;
}

// The report thread whose frames, from some frame on, are `pcs` (up to the report's 512-frame cut).
const ReportThread* holding(const std::vector<ReportThread>& threads, const std::vector<uint64_t>& pcs) {
    for (const auto& thread : threads) {
        const auto start = std::find(thread.pcs.begin(), thread.pcs.end(), pcs.front());
        if (start == thread.pcs.end()) continue;
        const size_t rest = static_cast<size_t>(thread.pcs.end() - start);
        const bool cut = thread.pcs.size() == 512 && rest < pcs.size();
        if ((rest == pcs.size() || cut) && std::equal(start, thread.pcs.end(), pcs.begin())) return &thread;
    }
    return nullptr;
}

// The field numbers of a message body, in the order written, with each field's bytes.
std::vector<std::pair<int, std::string>> fields(const std::string& body) {
    std::vector<std::pair<int, std::string>> result;
    size_t at = 0;
    const auto varint = [&] {
        uint64_t value = 0;
        for (int shift = 0; at < body.size(); shift += 7) {
            const auto byte = static_cast<uint8_t>(body[at++]);
            value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) break;
        }
        return value;
    };
    while (at < body.size()) {
        const uint64_t tag = varint();
        const size_t start = at;
        switch (tag & 7) {
        case 0: varint(); break;
        case 1: at += 8; break;
        case 2: at += varint(); break;
        case 5: at += 4; break;
        default: return result;
        }
        result.emplace_back(static_cast<int>(tag >> 3), body.substr(start, at - start));
    }
    return result;
}

std::vector<int> numbers(const std::string& body) {
    std::vector<int> result;
    for (const auto& field : fields(body)) result.push_back(field.first);
    return result;
}

// A length-delimited field's body, without its length.
std::string inner(const std::string& field) {
    size_t at = 0;
    while (static_cast<uint8_t>(field[at]) & 0x80) ++at;
    return field.substr(at + 1);
}

bool allocationFree(const std::string& result) {
    return result.find("allocations=0") != std::string::npos || result.find("allocations=-1") != std::string::npos;
}

}  // namespace

TEST(ReportWriter, ACrashReportHoldsTheStacksGdbFindsInTheCore) {
    const CrasherRun run = runCrasher("segv");
    ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGSEGV) << run.status;
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].substr(0, 8), "status=0");
    EXPECT_TRUE(allocationFree(run.results[0])) << run.results[0];
    ASSERT_TRUE(reportfixtures::protocDecodes({run.report.begin(), run.report.end()}));

    // Header, then report_info {user_requested false, 16-byte uuid}, then system_info.
    ASSERT_GT(run.report.size(), 32u);
    EXPECT_EQ(run.report.substr(0, 14), std::string("obcrash\x01\x4a\x14\x08\x00\x12\x10", 14));
    EXPECT_EQ(run.report[30], '\x0a');
    const auto top = fields(run.report.substr(8));
    std::vector<int> order = numbers(run.report.substr(8));
    order.erase(std::unique(order.begin(), order.end()), order.end());
    EXPECT_EQ(order, (std::vector<int>{9, 1, 8, 2, 7, 3, 4, 6, 10}));
    for (const auto& [number, bytes] : top) {
        if (number == 1) { EXPECT_EQ(numbers(inner(bytes)), (std::vector<int>{1, 2, 5, 3, 4})); }
        if (number == 7) { EXPECT_EQ(numbers(inner(bytes)), (std::vector<int>{1, 2, 3, 4, 5, 6, 7})); }
        if (number == 4) { EXPECT_EQ(numbers(inner(bytes)), (std::vector<int>{2, 1, 3, 4, 5})); }
        if (number == 10) { EXPECT_EQ(inner(bytes), "custom bytes"); }
    }
    const auto& firstThread = std::find_if(top.begin(), top.end(), [](const auto& f) { return f.first == 3; })->second;
    auto threadOrder = numbers(inner(firstThread));
    threadOrder.erase(std::unique(threadOrder.begin(), threadOrder.end()), threadOrder.end());
    EXPECT_EQ(threadOrder, (std::vector<int>{1, 3, 4, 2}));

    const auto threads = reportThreads(run.text);
    ASSERT_EQ(threads.size(), 5u);
    ASSERT_TRUE(threads[0].crashed);
    EXPECT_EQ(threads[0].registers, 21u);
    for (size_t i = 1; i < threads.size(); ++i) EXPECT_TRUE(!threads[i].crashed && threads[i].registers == 0);
    EXPECT_TRUE(std::any_of(threads.begin(), threads.end(), [](const auto& t) { return t.pcs.size() == 512; }));
    EXPECT_NE(run.text.find("name: \"SIGSEGV\"\n  code: \"SEGV_MAPERR\"\n  address: 0\n"), std::string::npos);

    if (const std::string reason = coreUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
    const fs::path core = coreIn(run.dir);
    if (core.empty()) GTEST_SKIP() << "the crasher left no core file in " << run.dir;
    const auto gdb = crashstacks::gdbThreads(OBCRASH_CRASHER, core, run.dir);
    ASSERT_EQ(gdb.size(), threads.size());
    size_t matched = 0;
    for (const auto& frames : gdb) {
        ASSERT_FALSE(frames.empty());
        if (frames[0].name.find("storeThrough") != std::string::npos) {
            std::vector<uint64_t> pcs;
            for (const auto& frame : frames) pcs.push_back(frame.pc);
            EXPECT_EQ(threads[0].pcs, pcs) << "the crashed thread";
            ++matched;
            continue;
        }
        const auto pcs = fromCrasherCode(frames, {"waitInCondition", "waitInSleep", "waitInRead"});
        ASSERT_GE(pcs.size(), 3u) << frames[0].name;
        EXPECT_NE(holding(threads, pcs), nullptr) << "no report thread unwinds like gdb's from " << frames[0].name;
        ++matched;
    }
    EXPECT_EQ(matched, threads.size());
    fs::remove_all(run.dir);
}

TEST(ReportWriter, AnAbortAsTheLastCallUnwindsThroughItsFunction) {
    const CrasherRun run = runCrasher("abort");
    ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0].substr(0, 8), "status=0");
    EXPECT_TRUE(allocationFree(run.results[0])) << run.results[0];
    // abort() leaves no message behind.
    EXPECT_EQ(run.text.find("crash_info_message"), std::string::npos);
    // A signal the process sent itself has no fault address; the kernel's address bytes hold the
    // sender's pid.
    EXPECT_NE(run.text.find("name: \"SIGABRT\"\n  code: \"#-6\"\n  address: 0\n"), std::string::npos)
        << run.text.substr(run.text.find("signal {"));

    if (const std::string reason = coreUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
    const fs::path core = coreIn(run.dir);
    if (core.empty()) GTEST_SKIP() << "the crasher left no core file in " << run.dir;
    const auto gdb = crashstacks::gdbThreads(OBCRASH_CRASHER, core, run.dir);
    ASSERT_EQ(gdb.size(), 1u);
    const auto pcs = fromCrasherCode(gdb[0], {"abortLast"});
    ASSERT_GE(pcs.size(), 3u);
    const auto threads = reportThreads(run.text);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(holding(threads, pcs), nullptr) << "the report loses the stack at abortLast";
    fs::remove_all(run.dir);
}

TEST(ReportWriter, TheCLibraryMessageUnnamedSignalsAndAFailedWrite) {
    const CrasherRun failed = runCrasher("assert");
    ASSERT_TRUE(WIFSIGNALED(failed.status) && WTERMSIG(failed.status) == SIGABRT) << failed.status;
    EXPECT_NE(failed.text.find("crash_info_message: \"crashreporter_crasher: "), std::string::npos);
    EXPECT_NE(failed.text.find("Assertion `value == 42 && \\\"the crasher\\\'s assertion\\\"\\\' failed.\\n\""),
              std::string::npos)
        << failed.text.substr(failed.text.find("signal {"));
    fs::remove_all(failed.dir);

    // A signal without a name, a code that only a sender chose, custom data set and then cleared;
    // then the same under a file-size limit.
    const CrasherRun limited = runCrasher("limit");
    ASSERT_TRUE(WIFEXITED(limited.status) && WEXITSTATUS(limited.status) == 0) << limited.status;
    ASSERT_EQ(limited.results.size(), 2u);
    EXPECT_EQ(limited.results[0].substr(0, 8), "status=0");
    EXPECT_EQ(limited.results[1].substr(0, 8), "status=2") << "a cut report is reported as written";
    EXPECT_NE(limited.text.find("name: \"#40\"\n  code: \"#-6\"\n"), std::string::npos);
    EXPECT_EQ(limited.text.find("custom_data"), std::string::npos);
    EXPECT_LE(fs::file_size(limited.dir / "report-limited.obcrash"), 1024u);
    fs::remove_all(limited.dir);
}
