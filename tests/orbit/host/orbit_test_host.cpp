// A host program of the analytics client for tests that need a process of its own.
//   orbit_test_host ids HOST TOKEN    sets a client up against HOST, prints "anonymousId=…",
//                                     "deviceId=…", "distinctId=…" and exits once flags arrived
//                                     (or after 20 s)
//   orbit_test_host churn TOKEN       writes identity, property and opt-out values until killed
//   orbit_test_host capture HOST TOKEN N
//                                     captures N events with the property "n" = 0 … N-1, prints each
//                                     uuid, then "done", then waits to be killed
//   orbit_test_host drain HOST TOKEN  sets a client up and asks it to send every 100 ms until killed
//   orbit_test_host exitflags HOST TOKEN
//                                     sets a client up with the debug log on, loads its flags, returns
//                                     from main and, from an exit handler that runs after the exit has
//                                     destroyed the statics made since, prints "exiting" and loads them
//                                     again
//   orbit_test_host crash HOST TOKEN TYPE SCENARIO
//                                     sets a client up with crash auto-capture on (debug log on
//                                     standard output), identifies "crash-user" and registers
//                                     "crash_marker", then: "none" sends every 100 ms until killed,
//                                     "send" for 2.5 s;
//                                     "segv" faults in faultHere on a worker thread; "assert" fails an
//                                     assert; "throw" throws an uncaught std::runtime_error from
//                                     throwHere; "segv8" faults on eight threads at once;
//                                     "staticdtor" faults in a static destructor after main returns;
//                                     "overflow" overflows the main thread's stack. With TYPE 0 a
//                                     reporter with POSIX handlers is enabled before the client's
//                                     (which then only keeps its custom data current).
// The storage folder is under $XDG_DATA_HOME, crash reports under $XDG_CACHE_HOME.
// The assert scenario needs assert, whatever the build type says.
#undef NDEBUG
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>
#include <string>
#include <thread>

#include "crashreporter/OBCrashReporter.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/OrbitNotificationCenter.h"
#include "orbit/OrbitSDK.h"
#include "orbit/OrbitStorage.h"

namespace {

orbit::OrbitHost testHost() {
    auto host = orbit::OrbitHost::standard();
    host.applicationInfo.identifier = "com.sablix.orbit-test-host";
    return host;
}

int printIds(const std::string& url, const std::string& token) {
    std::mutex lock;
    std::condition_variable arrived;
    bool flags = false;
    const auto observer = orbit::OrbitNotificationCenter::defaultCenter().addObserver(orbit::didReceiveFeatureFlags,
                                                                                      [&](const std::string&) {
                                                                                          std::lock_guard guard(lock);
                                                                                          flags = true;
                                                                                          arrived.notify_all();
                                                                                      });
    auto config = std::make_shared<orbit::OrbitConfig>(token, url);
    config->captureApplicationLifecycleEvents = false;
    config->disableQueueTimerForTesting = true;
    const auto sdk = orbit::OrbitSDK::make(config, testHost());
    sdk->setup(config);
    std::printf("anonymousId=%s\ndeviceId=%s\ndistinctId=%s\n", sdk->getAnonymousId().c_str(),
                sdk->getDeviceId().c_str(), sdk->getDistinctId().c_str());
    std::fflush(stdout);
    std::unique_lock guard(lock);
    return arrived.wait_for(guard, std::chrono::seconds(20), [&] { return flags; }) ? 0 : 3;
}

[[noreturn]] void churn(const std::string& token) {
    using Key = orbit::OrbitStorage::StorageKey;
    orbit::OrbitConfig config(token);
    const auto host = testHost();
    auto storage = std::make_shared<orbit::OrbitStorage>(config, host);
    orbit::OrbitStorageManager manager(storage, nullptr);
    for (unsigned long i = 0;; ++i) {
        const auto n = std::to_string(i);
        manager.setDistinctId("user-" + n);
        manager.setAnonymousId(orbit::Uuid::v7().toString());
        manager.setIdentified(i % 2 == 0);
        storage->setBool(Key::optOut, i % 3 == 0);
        storage->setDictionary(Key::registerProperties,
                               {{"plan", "pro-" + n}, {"seats", i}, {"long", std::string(i % 4096, 'x')}});
        storage->setDictionary(Key::groups, {{"company", "c-" + n}});
    }
}

std::shared_ptr<orbit::OrbitSDK> setUp(const std::string& url, const std::string& token) {
    auto config = std::make_shared<orbit::OrbitConfig>(token, url);
    config->captureApplicationLifecycleEvents = false;
    config->disableQueueTimerForTesting = true;
    config->disableReachabilityForTesting = true;
    config->flushAt = 10;
    const auto sdk = orbit::OrbitSDK::make(config, testHost());
    sdk->setup(config);
    return sdk;
}

[[noreturn]] void capture(const std::string& url, const std::string& token, int count) {
    const auto sdk = setUp(url, token);
    const auto printer = sdk->onEventCaptured.subscribe([](const orbit::OrbitEvent& event) {
        std::printf("%s\n", event.uuid.toString().c_str());
        std::fflush(stdout);
    });
    for (int n = 0; n < count; ++n) sdk->capture("counted", nlohmann::json{{"n", n}});
    std::printf("done\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

[[noreturn]] void drain(const std::string& url, const std::string& token) {
    const auto sdk = setUp(url, token);
    for (;;) {
        sdk->flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Never destroyed: the exit handler uses it after main has returned.
std::shared_ptr<orbit::OrbitSDK>* exitingClient = nullptr;

void loadFlags() {
    std::promise<void> loaded;
    (*exitingClient)->reloadFeatureFlags([&loaded] { loaded.set_value(); });
    loaded.get_future().wait();
}

void loadFlagsAtExit() {
    std::printf("exiting\n");
    std::fflush(stdout);
    loadFlags();
}

int exitFlags(const std::string& url, const std::string& token) {
    // Registered before the client makes any static of its own: it runs after they are destroyed.
    std::atexit(loadFlagsAtExit);
    auto config = std::make_shared<orbit::OrbitConfig>(token, url);
    config->captureApplicationLifecycleEvents = false;
    config->disableQueueTimerForTesting = true;
    config->disableReachabilityForTesting = true;
    config->debug = true;
    exitingClient = new std::shared_ptr<orbit::OrbitSDK>(orbit::OrbitSDK::make(config, testHost()));
    (*exitingClient)->setup(config);
    loadFlags();
    return 0;
}

constexpr const char* kHostIdentifier = "com.sablix.orbit-test-host";

// An address in the first page, which is never mapped: not null, which the undefined-behaviour
// sanitizer would catch before the processor does. Read through a volatile so that the compiler
// knows nothing of it.
volatile uintptr_t firstPage = 16;
volatile int* nowhere() { return reinterpret_cast<volatile int*>(firstPage); }

__attribute__((noipa)) void faultHere(volatile int* pointer) {
    *pointer = 1;
    asm volatile("");
}

__attribute__((noipa)) void throwHere(const std::string& message) { throw std::runtime_error(message); }

__attribute__((noipa)) void assertHere(int value) {
    assert(value == 42 && "the host's assertion");
    asm volatile("");
}

// Never reached: it only keeps the recursion from being endless in the compiler's eyes.
volatile int recursionLimit = -1;

__attribute__((noipa)) int recurseHere(int depth) {
    if (depth == recursionLimit) return 0;
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    return recurseHere(depth + 1) + frame[0];
}

struct FaultsWhenDestroyed {
    ~FaultsWhenDestroyed() {
        if (armed) faultHere(nowhere());
    }
    bool armed = false;
};
FaultsWhenDestroyed faultsAtExit;

// Never destroyed: the crash handlers use them until the process ends, after main included.
obcrash::OBCrashReporter* ownReporter = nullptr;
std::shared_ptr<orbit::OrbitSDK>* keptClient = nullptr;

int crash(const std::string& url, const std::string& token, int type, const std::string& scenario) {
    // A sanitizer's handlers would be the actions the crash reporter passes crashes on to; the
    // program these runs stand for has none.
    for (const int signo : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) std::signal(signo, SIG_DFL);
    if (type == 0) {
        ownReporter = new obcrash::OBCrashReporter(
            obcrash::OBCrashApplicationInfo{kHostIdentifier, "1", "1.0"},
            obcrash::OBCrashReporterConfig(obcrash::OBCrashReporterConfig::kSignalHandlerTypeBSD, 0, true));
        obcrash::OBCrashReporterError error;
        if (!ownReporter->enableCrashReporter(&error)) {
            std::printf("enable failed: %s\n", error.description.c_str());
            return 4;
        }
    }
    auto config = std::make_shared<orbit::OrbitConfig>(token, url);
    config->captureApplicationLifecycleEvents = false;
    config->disableQueueTimerForTesting = true;
    config->disableReachabilityForTesting = true;
    config->debug = true;
    config->errorTrackingConfig.autoCapture = true;
    keptClient = new std::shared_ptr<orbit::OrbitSDK>(orbit::OrbitSDK::make(config, testHost()));
    (*keptClient)->setup(config);
    (*keptClient)->identify("crash-user");
    (*keptClient)->registerProperties({{"crash_marker", scenario}});
    std::printf("ready\n");
    std::fflush(stdout);

    if (scenario == "none" || scenario == "send") {
        for (int ticks = 0; scenario == "none" || ticks < 25; ++ticks) {
            (*keptClient)->flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // The kept client's threads still run: returning would destroy the statics they read.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    if (scenario == "segv") {
        std::thread([] { faultHere(nowhere()); }).join();
    } else if (scenario == "segv8") {
        std::atomic<int> waiting{8};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&waiting] {
                --waiting;
                while (waiting.load() > 0) {}
                faultHere(nowhere());
            });
        for (auto& thread : threads) thread.join();
    } else if (scenario == "assert") {
        assertHere(static_cast<int>(scenario.size()));
    } else if (scenario == "throw") {
        throwHere("thrown by the host");
    } else if (scenario == "staticdtor") {
        faultsAtExit.armed = true;
        return 0;
    } else if (scenario == "overflow") {
        return recurseHere(0);
    }
    return 5;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ids" && argc == 4) return printIds(argv[2], argv[3]);
    if (mode == "churn" && argc == 3) churn(argv[2]);
    if (mode == "capture" && argc == 5) capture(argv[2], argv[3], std::stoi(argv[4]));
    if (mode == "drain" && argc == 4) drain(argv[2], argv[3]);
    if (mode == "exitflags" && argc == 4) return exitFlags(argv[2], argv[3]);
    if (mode == "crash" && argc == 6) return crash(argv[2], argv[3], std::stoi(argv[4]), argv[5]);
    std::fprintf(stderr,
                 "usage: orbit_test_host ids HOST TOKEN | churn TOKEN | capture HOST TOKEN N | drain HOST TOKEN | "
                 "exitflags HOST TOKEN | crash HOST TOKEN TYPE SCENARIO\n");
    return 2;
}
