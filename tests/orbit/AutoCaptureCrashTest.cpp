// Crash auto-capture end to end, with the test host in three runs against the ingest server: the
// first stores the remote switch that turns it on, the second crashes, the third sends the crash
// as one "$exception" event and deletes the report. Every crash happens in a child process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "OrbitTestSupport.h"
#include "crashreporter/OBCrashReport.h"
#include "support/ChildProcess.h"
#include "support/CrashStacks.h"
#include "support/ModelsTestSupport.h"
#include "support/ReportFixtures.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kToken = "phc_crash";

struct Scenario {
    std::string name;  // the host's crash scenario
    int handlerType;
    int signal;                  // that ends the crashing run
    bool underDebugger = false;  // the sending run runs under gdb
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name << " with handler type " << scenario.handlerType
         << (scenario.underDebugger ? " under gdb" : "");
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The host's defined function `name`: its offset in the executable and its size.
std::pair<uint64_t, uint64_t> hostFunction(const std::string& name) {
    std::istringstream symbols(testsupport::runCommand({"nm", "-C", "-S", "--defined-only", ORBIT_TEST_HOST}));
    for (std::string line; std::getline(symbols, line);) {
        std::istringstream fields(line);
        std::string address, size, kind, symbol;
        fields >> address >> size >> kind;
        std::getline(fields >> std::ws, symbol);
        if (symbol.rfind("(anonymous namespace)::" + name + "(", 0) == 0)
            return {std::stoull(address, nullptr, 16), std::stoull(size, nullptr, 16)};
    }
    return {0, 0};
}

bool anyFrameIn(const obcrash::OBCrashReport& report, const std::vector<obcrash::OBCrashReportStackFrameInfo>& frames,
                const std::string& function) {
    const auto [offset, size] = hostFunction(function);
    uint64_t base = 0;
    for (const auto& image : report.images())
        if (fs::path(image.imageName).filename() == fs::path(ORBIT_TEST_HOST).filename()) base = image.imageBaseAddress;
    return size != 0 && base != 0 && std::any_of(frames.begin(), frames.end(), [&](const auto& frame) {
               return frame.instructionPointer >= base + offset && frame.instructionPointer < base + offset + size;
           });
}

std::string isoSeconds(obcrash::OBCrashReportDate date) {
    const std::time_t seconds = date.time_since_epoch().count();
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    return text;
}

class CrashHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        environment = {"XDG_DATA_HOME=" + (home.path() / "data").string(),
                       "XDG_CACHE_HOME=" + (home.path() / "cache").string()};
        fs::create_directories(home.path() / "run");
        fs::create_directories(home.path() / "data");
    }

    std::vector<std::string> host(int handlerType, const std::string& scenario) const {
        return {ORBIT_TEST_HOST, "crash", server.baseURL(), kToken, std::to_string(handlerType), scenario};
    }

    // A first run that leaves the remote switch stored.
    bool storeTheSwitch(int handlerType) {
        server.answer("config", {200, R"({"errorTracking":{"autocaptureExceptions":true}})", {}, 0, false, 0, 1000});
        testsupport::ChildProcess first(host(handlerType, "none"), environment);
        return orbittest::eventually(
            [&] {
                // The run writes beside it as it goes: a file gone during the walk is no failure.
                std::error_code error;
                for (fs::recursive_directory_iterator it(home.path() / "data", error), end; !error && it != end;
                     it.increment(error))
                    if (it->path().filename() == "orbit.errorTracking") return true;
                return false;
            },
            std::chrono::seconds(20));
    }

    // The crashing run, in its own folder with core files allowed; its wait status.
    int crash(int handlerType, const std::string& scenario) {
        auto argv = host(handlerType, scenario);
        argv.insert(argv.begin(),
                    {"sh", "-c", "cd \"$0\" && ulimit -c unlimited; exec \"$@\"", (home.path() / "run").string()});
        // The address sanitizer writes no core unless asked; its shadow memory is left out of it.
        auto crashEnvironment = environment;
        const char* asan = std::getenv("ASAN_OPTIONS");
        crashEnvironment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                                   "disable_coredump=0");
        testsupport::ChildProcess second(argv, crashEnvironment, (home.path() / "crash.txt").string());
        return second.wait(60000);
    }

    fs::path reportPath() const {
        return home.path() / "cache" / "com.obcrash.crashreporter.data" / "com.sablix.orbit-test-host" /
               "live_report.obcrash";
    }

    std::vector<json> exceptionEvents() const {
        std::vector<json> events;
        for (const auto& request : server.requests())
            if (request.route == "batch" && request.json.is_object())
                for (const auto& event : request.json["batch"])
                    if (event.value("event", "") == "$exception") events.push_back(event);
        return events;
    }

    // A run that sends what it has for 2.5 s; its output.
    std::string send(std::vector<std::string> prefix = {}) {
        const auto sender = host(1, "send");
        prefix.insert(prefix.end(), sender.begin(), sender.end());
        auto variables = environment;
        // The leak checker of a sanitized build cannot work under a debugger's ptrace.
        if (!prefix.empty() && prefix.front() == "gdb")
            if (const char* options = std::getenv("ASAN_OPTIONS"))
                variables.push_back(std::string("ASAN_OPTIONS=") + options + ":detect_leaks=0");
        int code = -1;
        return testsupport::runCommand(prefix, &code, 40000, variables);
    }

    modelstest::TempDir home;
    testservers::IngestServer server;
    std::vector<std::string> environment;
};

class AutoCaptureCrash : public CrashHost, public ::testing::WithParamInterface<Scenario> {};

// A report cut short waits while the remote switch is off, then goes at the first start with it on,
// without an event.
TEST_F(CrashHost, ABrokenPendingReportIsDeletedWithoutAnEvent) {
    fs::create_directories(reportPath().parent_path());
    std::ofstream(reportPath(), std::ios::binary) << std::string("obcrash\x01\x0a\x05", 10);
    send();
    EXPECT_TRUE(fs::exists(reportPath()));
    ASSERT_TRUE(storeTheSwitch(1));
    const auto output = send();
    EXPECT_NE(output.find("Failed to process crash report: "), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(reportPath()));
    EXPECT_TRUE(exceptionEvents().empty());
}

// Whatever stands at the report's path that is not a report of bounded size is deleted at the
// first start with a log line, without blocking or filling the memory of that start.
TEST_F(CrashHost, ALinkToADeviceOrAFifoInPlaceOfTheReportIsDeleted) {
    ASSERT_TRUE(storeTheSwitch(1));
    fs::create_directories(reportPath().parent_path());
    for (const bool fifo : {false, true}) {
        if (fifo)
            ASSERT_EQ(mkfifo(reportPath().c_str(), 0600), 0);
        else
            fs::create_symlink("/dev/zero", reportPath());
        const auto output = send();
        EXPECT_NE(output.find("Failed to load crash report: "), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(fs::symlink_status(reportPath()))) << (fifo ? "FIFO" : "link");
    }
    EXPECT_TRUE(exceptionEvents().empty());
}

// A damaged report costs what is damaged: a crash context nested deeper than the client reads is
// dropped and a crash time beyond what the event can hold is left out, and the crash is still
// reported, once.
TEST_F(CrashHost, ADamagedContextOrTimeCostsOnlyThemselves) {
    ASSERT_TRUE(storeTheSwitch(1));
    const std::string context = R"({"distinct_id":"planted","event_properties":{"crash_marker":"planted","deep":)" +
                                std::string(100000, '[') + std::string(100000, ']') + "}}";
    std::string escaped;
    for (const char c : context) escaped += c == '"' ? std::string("\\\"") : std::string(1, c);
    const auto report = reportfixtures::encodeReport(
        R"(system_info { operating_system: OS_UNKNOWN os_version: "6.1.0" os_build: "" timestamp: 9223372036854775807 architecture: X86_64 }
application_info { identifier: "com.sablix.orbit-test-host" version: "1" }
signal { name: "SIGSEGV" code: "SEGV_MAPERR" address: 16 }
threads { thread_number: 0 crashed: true frames { pc: 4198656 } }
custom_data: ")" +
        escaped + "\"\n");
    ASSERT_GT(report.size(), 200000u);
    fs::create_directories(reportPath().parent_path());
    std::ofstream(reportPath(), std::ios::binary).write(reinterpret_cast<const char*>(report.data()), report.size());

    const auto output = send();
    EXPECT_NE(output.find("Crash report processed and captured"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(reportPath()));
    const auto events = exceptionEvents();
    ASSERT_EQ(events.size(), 1u);
    const auto& event = events.front();
    EXPECT_NE(event.value("distinct_id", ""), "planted");
    EXPECT_FALSE(event["properties"].contains("crash_marker"));
    EXPECT_EQ(event["properties"]["$exception_list"][0].value("type", ""), "SIGSEGV");
    // The time of sending stands in: the event is not dated in a year its clock cannot hold.
    const std::string timestamp = event.value("timestamp", "");
    EXPECT_EQ(timestamp.substr(0, 2), "20") << timestamp;
    send();
    EXPECT_EQ(exceptionEvents().size(), 1u);
}

TEST_P(AutoCaptureCrash, ACrashIsReportedOnceAtTheNextStart) {
    const auto& scenario = GetParam();
    ASSERT_TRUE(storeTheSwitch(scenario.handlerType));

    const int status = crash(scenario.handlerType, scenario.name);
    const auto output = slurp(home.path() / "crash.txt");
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == scenario.signal) << status << "\n" << output;
    // With type 0 the host enabled a reporter of its own first; the client's only keeps its data current.
    EXPECT_NE(output.find(scenario.handlerType == 1 ? "OBCrashReporter enabled successfully"
                                                    : "Failed to enable OBCrashReporter: A OBCrashReporter instance "
                                                      "has already been enabled"),
              std::string::npos)
        << output;

    const auto bytes = slurp(reportPath());
    ASSERT_GT(bytes.size(), 8u);
    const auto text = reportfixtures::protoc("--decode=obcrash.CrashReport", bytes.substr(8));
    ASSERT_FALSE(text.empty());
    const auto report =
        obcrash::OBCrashReport::initWithData(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(report);
    const auto threads = crashstacks::reportThreads(text);
    ASSERT_EQ(std::count_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; }), 1) << text;
    const auto crashed = *std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; });

    if (scenario.name == "assert") {
        ASSERT_TRUE(report->signalInfo().crashInfoMessage);
        EXPECT_NE(report->signalInfo().crashInfoMessage->find("the host's assertion"), std::string::npos);
    }
    if (scenario.name == "throw") {
        ASSERT_TRUE(report->hasExceptionInfo());
        EXPECT_EQ(report->exceptionInfo()->exceptionName, "std::runtime_error");
        EXPECT_EQ(report->exceptionInfo()->exceptionReason, "thrown by the host");
        ASSERT_TRUE(report->exceptionInfo()->stackFrames);
        EXPECT_TRUE(anyFrameIn(*report, *report->exceptionInfo()->stackFrames, "throwHere"));
    }
    if (scenario.name == "segv" && !scenario.underDebugger) {
        // The crashed thread unwinds as gdb unwinds it from the core.
        if (const auto reason = crashstacks::coreUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
        const auto core = crashstacks::coreIn(home.path() / "run");
        if (core.empty()) GTEST_SKIP() << "the crash left no core file";
        const auto gdb = crashstacks::gdbThreads(ORBIT_TEST_HOST, core, home.path());
        const auto faulted = std::find_if(gdb.begin(), gdb.end(), [](const auto& frames) {
            return !frames.empty() && frames.front().name.find("faultHere") != std::string::npos;
        });
        ASSERT_NE(faulted, gdb.end());
        std::vector<uint64_t> pcs;
        for (const auto& frame : *faulted) pcs.push_back(frame.pc);
        EXPECT_EQ(crashed.pcs, pcs);
    }

    const auto sent =
        send(scenario.underDebugger ? std::vector<std::string>{"gdb", "-batch", "-nx", "-ex", "run", "--args"}
                                    : std::vector<std::string>{});
    EXPECT_NE(sent.find("Crash report processed and captured"), std::string::npos) << sent;
    if (scenario.underDebugger) {
        EXPECT_NE(sent.find("Crash handler is disabled because a debugger is attached."), std::string::npos) << sent;
    }
    EXPECT_FALSE(fs::exists(reportPath()));

    const auto events = exceptionEvents();
    ASSERT_EQ(events.size(), 1u);
    const auto& event = events.front();
    EXPECT_EQ(event.value("distinct_id", ""), "crash-user");
    ASSERT_TRUE(report->systemInfo().timestamp);
    EXPECT_EQ(event.value("timestamp", "").substr(0, 19), isoSeconds(*report->systemInfo().timestamp));
    const auto& properties = event["properties"];
    EXPECT_EQ(properties.value("crash_marker", ""), scenario.name);
    EXPECT_EQ(properties.value("$exception_level", ""), "fatal");
    const auto& exception = properties["$exception_list"][0];
    if (scenario.name == "throw") {
        EXPECT_EQ(exception.value("type", ""), "std::runtime_error");
        EXPECT_EQ(exception.value("value", ""), "thrown by the host");
    } else {
        EXPECT_EQ(exception["mechanism"].value("type", ""), "signal");
        const std::string name = std::string("SIG") + sigabbrev_np(scenario.signal);
        EXPECT_EQ(report->signalInfo().name, name);
        EXPECT_EQ(exception.value("type", ""), name);
        EXPECT_EQ(exception.value("value", "").rfind(name + " (code ", 0), 0u) << exception.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AutoCaptureCrash,
                         ::testing::Values(Scenario{"segv", 1, SIGSEGV}, Scenario{"segv", 0, SIGSEGV},
                                           Scenario{"assert", 0, SIGABRT}, Scenario{"assert", 1, SIGABRT},
                                           Scenario{"throw", 0, SIGABRT}, Scenario{"throw", 1, SIGABRT},
                                           Scenario{"segv8", 1, SIGSEGV}, Scenario{"segv8", 0, SIGSEGV},
                                           Scenario{"staticdtor", 1, SIGSEGV}, Scenario{"overflow", 0, SIGSEGV},
                                           Scenario{"overflow", 1, SIGSEGV}, Scenario{"segv", 1, SIGSEGV, true}),
                         [](const auto& info) {
                             return info.param.name + "_type" + std::to_string(info.param.handlerType) +
                                    (info.param.underDebugger ? "_underDebugger" : "");
                         });

}  // namespace
