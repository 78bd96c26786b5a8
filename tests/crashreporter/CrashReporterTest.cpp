// The reporter's entry point: where its report lives, what a broken pending report does, the one
// enable per process, and live reports while other threads keep replacing the custom data. Every
// enable happens in a child process, since it installs handlers for the rest of the process.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ForkedChild.h"
#include "crashreporter/OBCrashLog.h"
#include "crashreporter/OBCrashLogWriter.h"
#include "crashreporter/OBCrashReport.h"
#include "crashreporter/OBCrashReporter.h"
#include "support/ModelsTestSupport.h"
#include "support/ReportFixtures.h"

namespace fs = std::filesystem;
using obcrash::OBCrashReport;
using obcrash::OBCrashReporter;
using obcrash::OBCrashReporterConfig;
using obcrash::OBCrashReporterError;

namespace {

OBCrashReporter reporterIn(const fs::path& base, const std::string& identifier = "com.sablix.test") {
    return OBCrashReporter(identifier, "7", "1.0", OBCrashReporterConfig(0, 0, true, base));
}

size_t threadCount() {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) count += entry.is_directory() ? 1 : 0;
    return count;
}

// What the child found wrong, one line each; nothing when all held.
void check(bool holds, const char* what) {
    if (!holds) {
        crashtest::report(what);
        crashtest::report("\n");
    }
}

}  // namespace

// A live report walks every thread's stack through the call-frame tables, a tenth of a second or
// more of a free core, several times that under the sanitizers. The tests that take many are sized
// to stay well inside their limits when every core is busy, and their reports still meet each
// other many times over. Each custom-data writer spins, and every report stops them all: four
// writers, two for each reporter, keep both reporters writing during every report.
constexpr int kCustomDataWriters = 4;
#if defined(__SANITIZE_ADDRESS__)
constexpr int kLiveReportsWhileWriting = 8;
constexpr int kLiveReportsEach = 10;
constexpr int kCrashRacesEach = 8;
#else
constexpr int kLiveReportsWhileWriting = 12;
constexpr int kLiveReportsEach = 20;
constexpr int kCrashRacesEach = 12;
#endif

TEST(CrashReporter, ThePendingReportLivesUnderItsIdentifierAndBrokenOnesCanAlwaysBePurged) {
    modelstest::TempDir base;
    const auto reporter = reporterIn(base.path(), "a/b");
    const fs::path directory = base.path() / "com.obcrash.crashreporter.data" / "a_b";
    EXPECT_EQ(reporter.crashReportDirectory(), directory);
    EXPECT_EQ(reporter.crashReportPath(), directory / "live_report.obcrash");

    OBCrashReporterError error;
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_FALSE(reporter.loadPendingCrashReportData(&error));
    EXPECT_EQ(error.underlyingCode, ENOENT);
    EXPECT_FALSE(reporter.purgePendingCrashReport());

    // A directory in the report's place: not loadable, and purging removes it, or no crash could
    // ever write its report there again.
    fs::create_directories(reporter.crashReportPath() / "inside");
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    EXPECT_FALSE(reporter.loadPendingCrashReportData(&error));
    EXPECT_EQ(error.underlyingCode, EISDIR);
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());

    std::ofstream(reporter.crashReportPath()).flush();
    const auto empty = reporter.loadPendingCrashReportData();
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(OBCrashReport::initWithData(*empty));
    if (geteuid() != 0) {
        fs::permissions(reporter.crashReportPath(), fs::perms::none);
        EXPECT_FALSE(reporter.loadPendingCrashReportData(&error));
        EXPECT_EQ(error.underlyingCode, EACCES);
    }
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
}

// A failed enable uses up the process's one enable too.
TEST(CrashReporter, AnEnableThatCannotMakeItsDirectoryStillEndsEnablingInTheProcess) {
    modelstest::TempDir base;
    std::ofstream(base.path() / "com.obcrash.crashreporter.data").flush();
    const auto result = crashtest::runInChild([&] {
        auto blocked = reporterIn(base.path());
        OBCrashReporterError error;
        check(!blocked.enableCrashReporter(&error), "enabled below a file");
        check(error.code == 1 && (error.underlyingCode == ENOTDIR || error.underlyingCode == EEXIST),
              "not the file system's error");
        auto other = reporterIn(base.path() / "elsewhere");
        check(!other.enableCrashReporter(&error) && error.code == 3, "a second enable went on");
    });
    EXPECT_TRUE(result.exitedCleanly());
    EXPECT_EQ(result.reported, "");
}

TEST(CrashReporter, EnabledOnceLiveReportsListTheCallerAndCarryWholeCustomData) {
    modelstest::TempDir base;
    const fs::path temporary = base.path() / "tmp";
    fs::create_directories(temporary);
    const auto result = crashtest::runInChild([&] {
        setenv("TMPDIR", temporary.c_str(), 1);
        auto reporter = reporterIn(base.path());
        OBCrashReporterError error;
        check(reporter.enableCrashReporter(&error), "enable failed");
        check(fs::is_directory(reporter.queuedCrashReportDirectory()), "no queued reports folder");
        check(!reporter.enableCrashReporter(&error) && error.code == 3, "enabled twice");
        auto other = reporterIn(base.path(), "com.sablix.other");
        check(!other.enableCrashReporter(&error) && error.code == 3, "enabled by a second reporter");
        bool threw = false;
        try {
            reporter.setCrashCallbacks(nullptr);
        } catch (const obcrash::OBCrashReporterException&) {
            threw = true;
        }
        check(threw, "callbacks accepted after enabling");

        // Both reporters replace the data from many threads while live reports read it.
        std::set<std::string> values;
        for (int i = 0; i < 8; ++i) values.insert("value-" + std::to_string(i) + std::string(i * 500, 'x'));
        reporter.setCustomData(std::vector<uint8_t>(values.begin()->begin(), values.begin()->end()));
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int i = 0; i < kCustomDataWriters; ++i)
            writers.emplace_back([&, i] {
                auto& target = i % 2 == 0 ? reporter : other;
                const auto value = *std::next(values.begin(), i);
                while (!stop) target.setCustomData(std::vector<uint8_t>(value.begin(), value.end()));
            });
        for (int n = 0; n < kLiveReportsWhileWriting; ++n) {
            const auto live = reporter.generateLiveReport(&error);
            check(live.has_value(), "no live report");
            if (!live) break;
            const auto report = OBCrashReport::initWithData(*live);
            check(report != nullptr, "a live report that does not decode");
            if (!report) break;
            check(report->signalInfo().name == "SIGTRAP" && report->signalInfo().code == "TRAP_TRACE", "not a trap");
            check(report->threads().size() == threadCount(), "the calling thread is missing");
            const auto& data = report->customData();
            check(data && values.contains(std::string(data->begin(), data->end())), "custom data torn");
            if (n == 0) {
                const auto text =
                    reportfixtures::protoc("--decode=obcrash.CrashReport", std::string(live->begin() + 8, live->end()));
                check(text.find("user_requested: true") != std::string::npos, "not user requested");
            }
        }
        stop = true;
        for (auto& writer : writers) writer.join();
        check(fs::is_empty(temporary), "live report files left behind");
    });
    EXPECT_TRUE(result.exitedCleanly()) << result.status;
    EXPECT_EQ(result.reported, "");
}

namespace {

bool lists(const OBCrashReport& report, const std::string& path) {
    const auto& images = report.images();
    return std::any_of(images.begin(), images.end(), [&](const auto& image) { return image.imageName == path; });
}

OBCrashReporter exceptionServerReporterIn(const fs::path& base) {
    return OBCrashReporter("com.sablix.test", "7", "1.0", OBCrashReporterConfig(1, 0, false, base));
}

void faultingCallback(siginfo_t*, ucontext_t*, void*) { crashtest::badAccess(); }

// The report the crash left, or none when there is none or it does not decode.
std::unique_ptr<const OBCrashReport> pendingReport(const OBCrashReporter& reporter) {
    const auto data = reporter.loadPendingCrashReportData();
    return data ? OBCrashReport::initWithData(*data) : nullptr;
}

}  // namespace

// The image list is brought up to date when the reporter is enabled, when the custom data changes
// and when a live report is made, not only at the tracker's next check seconds later: a library
// loaded just before is in the report. Empty custom data stays custom data, apart from none.
TEST(CrashReporter, ALibraryLoadedJustBeforeIsInTheReportAndEmptyCustomDataIsKept) {
    const std::string library = OBCRASH_LOADABLE_LIBRARY;
    const auto crashReport = [&](const std::function<void(OBCrashReporter&)>& beforeAbort) {
        modelstest::TempDir base;
        const auto result = crashtest::runInChild([&] {
            auto reporter = reporterIn(base.path());
            beforeAbort(reporter);
            abort();
        });
        EXPECT_TRUE(result.killedBy(SIGABRT)) << result.status;
        EXPECT_EQ(result.reported, "");
        const auto data = reporterIn(base.path()).loadPendingCrashReportData();
        return data ? OBCrashReport::initWithData(*data) : nullptr;
    };

    const auto enabledAfterLoading = crashReport([&](OBCrashReporter& reporter) {
        check(dlopen(library.c_str(), RTLD_NOW) != nullptr, "not loaded");
        check(reporter.enableCrashReporter(), "enable failed");
    });
    ASSERT_TRUE(enabledAfterLoading);
    EXPECT_TRUE(lists(*enabledAfterLoading, library)) << "enable";
    EXPECT_FALSE(enabledAfterLoading->customData()) << "custom data that was never set";

    const auto dataAfterLoading = crashReport([&](OBCrashReporter& reporter) {
        check(reporter.enableCrashReporter(), "enable failed");
        check(dlopen(library.c_str(), RTLD_NOW) != nullptr, "not loaded");
        reporter.setCustomData(std::vector<uint8_t>{});
    });
    ASSERT_TRUE(dataAfterLoading);
    EXPECT_TRUE(lists(*dataAfterLoading, library)) << "custom data";
    EXPECT_TRUE(dataAfterLoading->customData() && dataAfterLoading->customData()->empty())
        << "empty custom data dropped from a crash report";

    modelstest::TempDir base;
    const auto live = crashtest::runInChild([&] {
        auto reporter = reporterIn(base.path());
        reporter.setCustomData(std::vector<uint8_t>{});
        check(dlopen(library.c_str(), RTLD_NOW) != nullptr, "not loaded");
        const auto data = reporter.generateLiveReport();
        const auto report = data ? OBCrashReport::initWithData(*data) : nullptr;
        check(report != nullptr, "no live report");
        if (!report) return;
        check(lists(*report, library), "the library is missing from the live report");
        check(report->customData() && report->customData()->empty(), "empty custom data dropped from a live report");
        const auto text =
            reportfixtures::protoc("--decode=obcrash.CrashReport", std::string(data->begin() + 8, data->end()));
        check(text.find("custom_data: \"\"\n") != std::string::npos, "protoc sees no custom data");
    });
    EXPECT_TRUE(live.exitedCleanly()) << live.status;
    EXPECT_EQ(live.reported, "");
}

// Reports hold memory contents and custom data: the folders and the report are the owner's alone,
// a report left by an older run included. Loading takes a regular file of bounded size and nothing
// else: a link to a device or a FIFO at the path must neither fill the memory nor block.
TEST(CrashReporter, OnlyAPrivateRegularFileOfBoundedSizeIsAReport) {
    modelstest::TempDir base;
    const auto reporter = reporterIn(base.path());
    const fs::path report = reporter.crashReportPath();
    fs::create_directories(report.parent_path());
    std::ofstream(report) << "left by an older run";
    fs::permissions(report, fs::perms(0644));
    const auto crashed = crashtest::runInChild([&] {
        auto child = reporterIn(base.path());
        check(child.enableCrashReporter(), "enable failed");
        abort();
    });
    EXPECT_TRUE(crashed.killedBy(SIGABRT)) << crashed.status;
    EXPECT_EQ(crashed.reported, "");
    const auto mode = [](const fs::path& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    };
    EXPECT_EQ(mode(report), 0600u);
    for (const fs::path& folder : {reporter.crashReportDirectory().parent_path(), reporter.crashReportDirectory(),
                                   reporter.queuedCrashReportDirectory()})
        EXPECT_EQ(mode(folder), 0700u) << folder;
    ASSERT_TRUE(OBCrashReport::initWithData(*reporter.loadPendingCrashReportData()));

    const auto loads = crashtest::runInChild([&] {
        OBCrashReporterError error;
        fs::resize_file(report, OBCrashReporter::kMaxPendingReportBytes);
        const auto largest = reporter.loadPendingCrashReportData(&error);
        check(largest && largest->size() == OBCrashReporter::kMaxPendingReportBytes, "the largest report refused");
        fs::resize_file(report, OBCrashReporter::kMaxPendingReportBytes + 1);
        check(!reporter.loadPendingCrashReportData(&error) && error.underlyingCode == EFBIG, "a larger one read");
        check(reporter.purgePendingCrashReport(), "not purged");

        fs::create_symlink("/dev/zero", report);
        check(reporter.hasPendingCrashReport(), "a link is no pending report");
        check(!reporter.loadPendingCrashReportData(&error) && error.underlyingCode == ELOOP, "a link followed");
        check(reporter.purgePendingCrashReport() && fs::exists("/dev/zero"), "link not purged, or its target");
        fs::create_symlink(base.path() / "nowhere", report);
        check(reporter.hasPendingCrashReport(), "a dangling link is no pending report");
        check(reporter.purgePendingCrashReport(), "dangling link not purged");

        check(mkfifo(report.c_str(), 0600) == 0, "no FIFO");
        check(!reporter.loadPendingCrashReportData(&error) && error.underlyingCode == EINVAL, "a FIFO read");
        check(reporter.purgePendingCrashReport() && !reporter.hasPendingCrashReport(), "FIFO not purged");
    });
    EXPECT_TRUE(loads.exitedCleanly()) << loads.status;
    EXPECT_EQ(loads.reported, "");
}

// With the exception server, a crash callback that faults: after abort() it runs on the aborting
// thread (the signal path), after a bad access on the server's own thread. Nobody can handle that
// second fault; the process must still end, by the first crash's signal, its report whole.
TEST(CrashReporter, AFaultingCrashCallbackEndsTheProcessByTheCrashsSignal) {
    constexpr unsigned kDeadlineSeconds = 10;
    for (const bool viaAbort : {true, false}) {
        SCOPED_TRACE(viaAbort ? "abort" : "bad access");
        for (int run = 0; run < 20; ++run) {
            modelstest::TempDir base;
            const auto result = crashtest::runInChild(
                [&] {
                    auto reporter = exceptionServerReporterIn(base.path());
                    obcrash::OBCrashReporterCallbacks callbacks;
                    callbacks.handleSignal = faultingCallback;
                    reporter.setCrashCallbacks(&callbacks);
                    if (!reporter.enableCrashReporter()) _exit(4);
                    if (viaAbort) std::abort();
                    crashtest::badAccess();
                },
                kDeadlineSeconds);
            const int signo = viaAbort ? SIGABRT : SIGSEGV;
            ASSERT_TRUE(result.killedBy(signo)) << "run " << run << ", status " << result.status;
            const auto report = pendingReport(exceptionServerReporterIn(base.path()));
            ASSERT_TRUE(report) << "run " << run;
            ASSERT_EQ(report->signalInfo().name, viaAbort ? "SIGABRT" : "SIGSEGV") << "run " << run;
        }
    }
}

// Live reports from four threads at once: each stops the other threads in turn, so none is stopped
// by another that it stops, and all finish.
TEST(CrashReporter, LiveReportsFromManyThreadsAtOnceAllFinish) {
    const auto result = crashtest::runInChild(
        [] {
            modelstest::TempDir base;
            auto reporter = reporterIn(base.path());
            std::atomic<int> written{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([&] {
                    for (int n = 0; n < kLiveReportsEach; ++n) {
                        const auto live = reporter.generateLiveReport();
                        if (live && OBCrashReport::initWithData(*live)) written.fetch_add(1);
                    }
                });
            for (auto& thread : threads) thread.join();
            check(written.load() == 4 * kLiveReportsEach, "a live report failed");
        },
        120);
    EXPECT_TRUE(result.exitedCleanly()) << result.status;
    EXPECT_EQ(result.reported, "");
}

// A thread takes live reports one after the other while another thread crashes: whichever stops
// the threads first, the crash ends the process and leaves its one report. 24 runs, half with
// each handler type (fewer under the sanitizers).
TEST(CrashReporter, ACrashDuringLiveReportsLeavesItsReport) {
    for (const uint64_t handlerType : {0, 1}) {
        for (int run = 0; run < kCrashRacesEach; ++run) {
            modelstest::TempDir base;
            const auto config = OBCrashReporterConfig(handlerType, 0, false, base.path());
            const auto result = crashtest::runInChild(
                [&] {
                    auto reporter = OBCrashReporter("com.sablix.test", "7", "1.0", config);
                    if (!reporter.enableCrashReporter()) _exit(4);
                    std::atomic<int> live{0};
                    std::thread([&] {
                        for (;;) {
                            reporter.generateLiveReport();
                            live.fetch_add(1);
                        }
                    }).detach();
                    while (live.load() == 0) usleep(1000);
                    // Into a different moment of a report each run.
                    usleep(static_cast<useconds_t>(run % 10) * 1500);
                    crashtest::badAccess();
                },
                30);
            const std::string trace = "handler type " + std::to_string(handlerType) + ", run " + std::to_string(run);
            ASSERT_TRUE(result.killedBy(SIGSEGV)) << trace << ", status " << result.status;
            const auto report = pendingReport(OBCrashReporter("com.sablix.test", "7", "1.0", config));
            ASSERT_TRUE(report) << trace;
            EXPECT_EQ(report->signalInfo().name, "SIGSEGV") << trace;
            const auto& threads = report->threads();
            const auto crashed =
                std::count_if(threads.begin(), threads.end(), [](const auto& thread) { return thread.crashed; });
            ASSERT_EQ(crashed, 1) << trace;
        }
    }
}

// More threads than a report lists: it still lists the thread that asked for it (newer than all
// the others, so last in the kernel's order), and the log says how many it left out.
TEST(CrashReporter, AReportOfMoreThreadsThanItHoldsKeepsItsOwnThreadAndSaysWhatItLeftOut) {
    const auto result = crashtest::runInChild(
        [] {
            std::mutex logLock;
            std::string log;
            obcrash::setOBCrashLogSink([&](const std::string& line) {
                const std::lock_guard lock(logLock);
                log += line + "\n";
            });
            modelstest::TempDir base;
            auto reporter = reporterIn(base.path());
            int block[2];
            if (pipe(block) != 0) _exit(5);
            pthread_attr_t small;
            pthread_attr_init(&small);
            pthread_attr_setstacksize(&small, 64 * 1024);
            std::vector<pthread_t> waiters(1030);
            for (auto& waiter : waiters) {
                const auto wait = [](void* fd) -> void* {
                    char byte;
                    while (read(*static_cast<int*>(fd), &byte, 1) < 0) {}
                    return nullptr;
                };
                if (pthread_create(&waiter, &small, wait, &block[0]) != 0) _exit(6);
            }
            std::thread([&] {
                const size_t leftOut = threadCount() - OBCRASH_LOG_WRITER_MAX_THREADS;
                const auto live = reporter.generateLiveReport();
                const auto report = live ? OBCrashReport::initWithData(*live) : nullptr;
                check(report != nullptr, "no live report");
                if (!report) return;
                check(report->threads().size() == OBCRASH_LOG_WRITER_MAX_THREADS, "not as many threads as it holds");
                size_t callers = 0;
                for (const auto& thread : report->threads())
                    if (thread.crashed && !thread.registers.empty() && !thread.stackFrames.empty()) ++callers;
                check(callers == 1, "the calling thread is not listed");
                const std::lock_guard lock(logLock);
                const auto said = "The report leaves out " + std::to_string(leftOut) + " threads";
                check(log.find(said) != std::string::npos, ("not logged: " + said + "; log: " + log).c_str());
            }).join();
            close(block[1]);
            for (auto& waiter : waiters) pthread_join(waiter, nullptr);
        },
        120);
    EXPECT_TRUE(result.exitedCleanly()) << result.status;
    EXPECT_EQ(result.reported, "");
}
