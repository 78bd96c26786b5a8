// Setting the analytics client up over a populated storage folder (ids, flags, properties and
// queued events from earlier runs) against building the same transport, queues, remote
// configuration and reachability directly over that folder: the time ratio (goal at most 1.2;
// set-up adds only its storage reads and bookkeeping). Both answer from the in-process ingest server.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "RatioReporter.h"
#include "Smoke.h"
#include "orbit/Flags/OrbitRemoteConfig.h"
#include "orbit/Logs/OrbitLogsOTLP.h"
#include "orbit/Network/Reachability.h"
#include "orbit/OrbitApi.h"
#include "orbit/OrbitSDK.h"
#include "orbit/OrbitStorage.h"
#include "orbit/Queue/OrbitFileBackedQueue.h"
#include "orbit/Queue/OrbitQueue.h"
#include "orbit/Queue/OrbitReplayQueue.h"
#include "servers/IngestServer.h"

namespace {

namespace fs = std::filesystem;
using Key = orbit::OrbitStorage::StorageKey;

constexpr const char* kToken = "phc_bench";

struct Fixture {
    testservers::IngestServer server;
    fs::path dataHome;
    orbit::OrbitDispatchQueue mainQueue{"bench.main"};
    orbit::OrbitHost host = orbit::OrbitHost::standard();
    bool ready = false;

    Fixture() {
        char pattern[] = "/tmp/sablix-setup-bench-XXXXXX";
        dataHome = ::mkdtemp(pattern);
        host.dataHome = dataHome;
        host.mainQueue = mainQueue.executor();
        if (!server.start()) return;
        auto config = makeConfig();
        orbit::OrbitStorage storage(*config, host);
        storage.setString(Key::anonymousId, orbit::Uuid::v7().toString());
        storage.setString(Key::deviceId, orbit::Uuid::v7().toString());
        storage.setString(Key::distinctId, "user-1");
        storage.setDictionary(Key::registerProperties, {{"plan", "pro"}, {"seats", 3}});
        storage.setDictionary(Key::enabledFeatureFlags, {{"beta", true}, {"layout", "compact"}});
        storage.setDictionary(Key::flags, {{"beta", {{"enabled", true}}}});
        storage.setBool(Key::optOut, false);
        orbit::OrbitFileBackedQueue queue(storage.url(Key::queue), {});
        for (int i = 0; i < smokeOr(200, 20); ++i)
            queue.add(
                orbit::OrbitEvent("e", "user-1", {{"i", i}}, orbit::systemNow(), orbit::Uuid::v7()).toJSON().dump());
        ready = true;
    }
    ~Fixture() {
        std::error_code error;
        fs::remove_all(dataHome, error);
    }
    std::shared_ptr<orbit::OrbitConfig> makeConfig() const {
        auto config = std::make_shared<orbit::OrbitConfig>(kToken, server.baseURL());
        config->disableQueueTimerForTesting = true;
        config->flushAt = 100000;
        return config;
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

void BM_SetUp(benchmark::State& state) {
    auto& f = fixture();
    if (!f.ready) return state.SkipWithError("the storage folder could not be filled");
    for (auto _ : state) {
        auto config = f.makeConfig();
        const auto sdk = orbit::OrbitSDK::make(config, f.host);
        sdk->setup(config);
        benchmark::DoNotOptimize(sdk->getDistinctId());
    }
}

void BM_Collaborators(benchmark::State& state) {
    auto& f = fixture();
    if (!f.ready) return state.SkipWithError("the storage folder could not be filled");
    const auto folder = f.dataHome / "com.orbit.unknown" / kToken;
    for (auto _ : state) {
        auto config = f.makeConfig();
        auto storage = std::make_shared<orbit::OrbitStorage>(folder);
        auto api = std::make_shared<orbit::OrbitApi>(config);
        auto remote = orbit::OrbitRemoteConfig::create(
            config, storage, api, [] { return nlohmann::json::object(); }, nullptr, f.host.mainQueue,
            [](const std::string&) {});
        orbit::Reachability reachability(std::make_unique<orbit::RtnetlinkFlagsSource>(), f.host.mainQueue);
        auto queue = orbit::OrbitQueue<orbit::OrbitEvent>::make(
            config, *storage, orbit::QueueEndpoint<orbit::OrbitEvent>::batch(*api), &reachability);
        orbit::OrbitReplayQueue replay(config, *storage, api, &reachability);
        auto logs = orbit::OrbitQueue<orbit::OrbitLogRecord>::make(
            config, *storage,
            orbit::QueueEndpoint<orbit::OrbitLogRecord>::logs(
                *api, orbit::OrbitLogsOTLP::buildResourceAttributes(config->logs, f.host.applicationInfo)),
            &reachability);
        queue->start(false, true);
        replay.start(false, true);
        logs->start(false, true);
        benchmark::DoNotOptimize(queue->depth());
        queue.reset();
        logs.reset();
    }
}

BENCHMARK(BM_SetUp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Collaborators)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return runBenchmarksWithRatios(argc, argv,
                                   {{"set-up : its collaborators built directly (time; goal at most 1.2)",
                                     "BM_SetUp/real_time", "BM_Collaborators/real_time"}});
}
