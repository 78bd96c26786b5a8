// A host program of the analytics client for tests that need a process of its own.
//   orbit_test_host ids HOST TOKEN    sets a client up against HOST, prints "anonymousId=…",
//                                     "deviceId=…", "distinctId=…" and exits once flags arrived
//                                     (or after 20 s)
//   orbit_test_host churn TOKEN       writes identity, property and opt-out values until killed
//   orbit_test_host capture HOST TOKEN N
//                                     captures N events with the property "n" = 0 … N-1, prints each
//                                     uuid, then "done", then waits to be killed
//   orbit_test_host drain HOST TOKEN  sets a client up and asks it to send every 100 ms until killed
// The storage folder is under $XDG_DATA_HOME.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

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

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ids" && argc == 4) return printIds(argv[2], argv[3]);
    if (mode == "churn" && argc == 3) churn(argv[2]);
    if (mode == "capture" && argc == 5) capture(argv[2], argv[3], std::stoi(argv[4]));
    if (mode == "drain" && argc == 4) drain(argv[2], argv[3]);
    std::fprintf(stderr, "usage: orbit_test_host ids HOST TOKEN | churn TOKEN | capture HOST TOKEN N | drain HOST TOKEN\n");
    return 2;
}
